# Configuration Manager configuration item, discovery script (data type
# String; compliance rule: equals "compliant"). The card's values are read,
# not a mark; a PC without a card is not applicable.
& "$env:SystemDrive\Program Files\Ondavi\ondavipci\ondavipci-fleet.exe" check | Out-Null
switch ($LASTEXITCODE) { 0 { "compliant" } 1 { "not-compliant" } 2 { "no-device" } default { "error" } }
