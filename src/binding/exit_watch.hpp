// Watching for interpreter exit. At exit CPython ends daemon threads that
// want the interpreter lock by unwinding them (pthread_exit); the unwinding
// runs our destructors without the lock. An atexit callback runs before any
// thread can be ended that way, so it is where we learn to stop releasing
// references.
#pragma once

namespace tessellon::binding {

// Registers the callback once per process; a failure to register is ignored
// (the module then only lacks the protection).
void watch_interpreter_exit();

}  // namespace tessellon::binding
