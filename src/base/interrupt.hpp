// Interrupting long operations. The core calls check_interrupt() on the calling thread between
// the parallel steps of a long operation (never from a worker, never per element); the hook,
// installed once by whoever embeds the core, throws to stop the operation there. Without a
// hook the check does nothing.
#pragma once

namespace quarvex {

using InterruptHook = void (*)();

// Installs the hook that check_interrupt calls (nullptr removes it).
void set_interrupt_hook(InterruptHook hook) noexcept;

// Calls the hook, if any; whatever it throws propagates to the caller.
void check_interrupt();

}  // namespace quarvex
