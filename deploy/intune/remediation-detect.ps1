# Intune Remediations, detection script: exit 1 (run the remediation) only
# when apply would fix the values; 0 when they are right or there is no card.
& "$env:SystemDrive\Program Files\Ondavi\ondavipci\ondavipci-fleet.exe" check
if ($LASTEXITCODE -eq 1) { exit 1 }
if ($LASTEXITCODE -eq 3) { exit 1 }  # cannot be checked: let the remediation report why
exit 0
