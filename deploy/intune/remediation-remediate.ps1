# Intune Remediations, remediation script: writes the values; its output,
# which names any failed call, shows in the Remediations report.
# The package installs into Program Files (x86) on 64-bit Windows and into
# Program Files on 32-bit Windows.
$folder = if (${env:ProgramFiles(x86)}) { ${env:ProgramFiles(x86)} } else { $env:ProgramFiles }
& "$folder\Ondavi\ondavipci\ondavipci-fleet.exe" apply
exit $LASTEXITCODE
