// Asks the login manager to restart the machine; it checks the caller's right to do so.
#pragma once

// 1 when the restart was accepted, 0 when refused or when nobody could be asked.
int RequestSystemRestart();
