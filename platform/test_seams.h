#pragma once
// How tests reach inside: every replaceable piece (a table of system calls,
// a time source, an allocator, a hook, a limit) has one setter,
// `setThing(replacement)`, and passing nullptr restores the real thing. The
// real pieces are never assignable globals, and nothing else changes them.
#include <cstddef>

// The shape of the allocator seams: malloc unless a test says otherwise. The
// memory must be releasable with free().
using BufferAllocator = void* (*)(std::size_t bytes);
