# Intune Win32 app, custom detection script: the app is installed when the
# card's values are right. Intune reads "detected" from output on stdout with
# exit code 0; nothing is printed otherwise.
# The package installs into Program Files (x86) on 64-bit Windows and into
# Program Files on 32-bit Windows.
$folder = if (${env:ProgramFiles(x86)}) { ${env:ProgramFiles(x86)} } else { $env:ProgramFiles }
& "$folder\Ondavi\ondavipci\ondavipci-fleet.exe" check | Out-Null
if ($LASTEXITCODE -eq 0) { Write-Output "compliant" }
exit 0
