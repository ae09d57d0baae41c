#pragma once
// The signals that ask a program to end, caught from the first thing main()
// does: each only records that it came, and the program ends its own way (the
// installation through its message loop, with its teardown lines; the renderer
// by removing what it had begun). A later signal changes nothing, so a second
// Ctrl+C cannot cut that ending short. SIGHUP stays ignored where the program
// was started with it ignored (nohup). SIGPIPE is ignored: a reader of
// standard output or error that has gone costs its lines, never the program.
#include <initializer_list>

// Catches these signals; the first call in main(). Before it, only the
// dynamic loader has run.
void catchEndingSignals(std::initializer_list<int> signals);
// The first ending signal that came; 0 while none has.
int endingSignal();
