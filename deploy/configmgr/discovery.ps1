# Configuration Manager configuration item, discovery script (data type
# String; compliance rule: equals "compliant"). The card's values are read,
# not a mark; a PC without a card is not applicable.
# The package installs into Program Files (x86) on 64-bit Windows and into
# Program Files on 32-bit Windows.
$folder = if (${env:ProgramFiles(x86)}) { ${env:ProgramFiles(x86)} } else { $env:ProgramFiles }
& "$folder\Ondavi\ondavipci\ondavipci-fleet.exe" check | Out-Null
switch ($LASTEXITCODE) { 0 { "compliant" } 1 { "not-compliant" } 2 { "no-device" } default { "error" } }
