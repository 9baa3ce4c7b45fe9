# Intune Remediations, detection script: exit 1 (run the remediation) only
# when apply would fix the values; 0 when they are right or there is no card.
# The package installs into Program Files (x86) on 64-bit Windows and into
# Program Files on 32-bit Windows.
$folder = if (${env:ProgramFiles(x86)}) { ${env:ProgramFiles(x86)} } else { $env:ProgramFiles }
& "$folder\Ondavi\ondavipci\ondavipci-fleet.exe" check
if ($LASTEXITCODE -eq 1) { exit 1 }
if ($LASTEXITCODE -eq 3) { exit 1 }  # cannot be checked: let the remediation report why
exit 0
