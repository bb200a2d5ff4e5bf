// Interrupt requests (SIGINT, SIGTERM) as a count a program polls, for runs that must not be cut
// off in the middle of a transfer.
#pragma once

namespace platform {

// From now on SIGINT and SIGTERM are counted instead of ending the process.
void CountInterrupts();
// How many arrived since CountInterrupts.
int Interrupts();

}  // namespace platform
