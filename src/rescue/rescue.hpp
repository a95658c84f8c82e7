// The rescue menu on the serial console, and the diagnostics boot.
#pragma once

int run_rescue_mode();
int run_standalone_diags();
