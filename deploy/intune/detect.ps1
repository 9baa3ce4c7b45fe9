# Intune Win32 app, custom detection script: the app is installed when the
# card's values are right. Intune reads "detected" from output on stdout with
# exit code 0; nothing is printed otherwise.
& "$env:SystemDrive\Program Files\Ondavi\ondavipci\ondavipci-fleet.exe" check | Out-Null
if ($LASTEXITCODE -eq 0) { Write-Output "compliant" }
exit 0
