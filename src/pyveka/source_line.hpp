// Where in this module's source an operation stands, for the line of the
// traceback entries. The standard library's source_location where it exists;
// otherwise the builtins that g++, clang++ and MSVC all provide (clang++ 14
// paired with libstdc++ lacks the former). A compiler with neither gives
// entries without a line.
#pragma once

#include <version>
#if __has_include(<source_location>)
#include <source_location>
#endif

namespace veka {

struct SourceLine {
    const char* file = "veka_call";
    int line = 0;

#if defined(__cpp_lib_source_location)
    static constexpr SourceLine here(std::source_location at = std::source_location::current())
    {
        return {at.file_name(), static_cast<int>(at.line())};
    }
#elif defined(__has_builtin) && __has_builtin(__builtin_FILE) && __has_builtin(__builtin_LINE)
    static constexpr SourceLine here(const char* file = __builtin_FILE(),
                                     int line = __builtin_LINE())
    {
        return {file, line};
    }
#else
    static constexpr SourceLine here() { return {}; }
#endif
};

}  // namespace veka
