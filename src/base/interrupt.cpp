#include "base/interrupt.hpp"

#include <atomic>

namespace quarvex {
namespace {

std::atomic<InterruptHook> installed_hook{nullptr};

}  // namespace

void set_interrupt_hook(InterruptHook hook) noexcept {
    installed_hook.store(hook, std::memory_order_relaxed);
}

void check_interrupt() {
    if (const InterruptHook hook = installed_hook.load(std::memory_order_relaxed)) hook();
}

}  // namespace quarvex
