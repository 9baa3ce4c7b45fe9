# Configuration Manager configuration item, remediation script.
& "$env:SystemDrive\Program Files\Ondavi\ondavipci\ondavipci-fleet.exe" apply
exit $LASTEXITCODE
