// SDL starts D-Bus when a subsystem comes up and libdbus keeps a few
// allocations for the life of the process; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }
