// The calling thread's scheduling priority.
#pragma once

namespace korvan {

// Moves the calling thread (and it alone) to the idle scheduling class: it
// runs on any core that no thread at the normal priority wants, and yields
// at once when one does. Best effort: nothing happens where the system
// refuses.
void LowerThisThreadPriority();

}  // namespace korvan
