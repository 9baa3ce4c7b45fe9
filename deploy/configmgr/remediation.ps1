# Configuration Manager configuration item, remediation script.
# The package installs into Program Files (x86) on 64-bit Windows and into
# Program Files on 32-bit Windows.
$folder = if (${env:ProgramFiles(x86)}) { ${env:ProgramFiles(x86)} } else { $env:ProgramFiles }
& "$folder\Ondavi\ondavipci\ondavipci-fleet.exe" apply
exit $LASTEXITCODE
