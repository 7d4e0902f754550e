// The platform's dynamic loader, reduced to the three calls the binding needs.
#pragma once

namespace loader {

using Handle = void*;
// A generic entry point; callers cast it to the real function type.
using Proc = void (*)();

// Loads the library named by `path` (a bare file name or an absolute path,
// 8-bit text). Returns null on any failure; never prints.
Handle Open(const char* path);
// Looks up an export by exact name; null when the library has no such export.
Proc Symbol(Handle module, const char* name);
// Releases a library that Open returned.
void Close(Handle module);

}  // namespace loader
