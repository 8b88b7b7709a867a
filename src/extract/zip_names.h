// Name rules of the extraction library: the program's paths, members' bare names, and names
// compared without regard to case, as on the platform the game runs on.
#pragma once

#include <string>
#include <string_view>

namespace kvr::unzip32 {

// The program joins paths with `\`; the file system wants `/`. A doubled separator is harmless.
std::string toPosixPath(std::string_view path);

// The name a member lands under: its stored name less any folder part, cut at `/` or `\`.
// Empty when nothing may be written under it: folder entries and the names ".", "..".
std::string bareName(std::string_view storedName);

// A key under which names that differ only in letter case are equal. Names that are not
// UTF-8 fold their ASCII letters only.
std::string foldCase(std::string_view name);

// `*` and `?` wildcards over the whole name, optionally without regard to case. `?` stands for
// one byte, which is one letter in the ASCII names of skin packages.
bool wildcardMatch(std::string_view pattern, std::string_view name, bool ignoreCase);

// The entry of `folder` named `name` without regard to case: the first such entry in byte
// order. Empty when there is none or the folder cannot be read.
std::string findIgnoringCase(const std::string& folder, std::string_view name);

} // namespace kvr::unzip32
