#pragma once
// One spelling of text formatting for the whole project: the standard
// library's where it has one, {fmt} otherwise.
#include <version>

#if defined(__cpp_lib_format)
#include <format>
namespace drovik {
using std::format;
}
#else
#include <fmt/format.h>
namespace drovik {
using fmt::format;
}
#endif
