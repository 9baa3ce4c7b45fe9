# Intune Remediations, remediation script: writes the values; its output,
# which names any failed call, shows in the Remediations report.
& "$env:SystemDrive\Program Files\Ondavi\ondavipci\ondavipci-fleet.exe" apply
exit $LASTEXITCODE
