// The few things that differ between Windows and the other platforms: the path separator
// and binary mode of the standard streams. Modules use these instead of their own #ifdefs.
#pragma once

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

// printf-style format checking for the project's own formatting functions. MinGW's GCC reads
// the "printf" archetype as the old msvcrt dialect (no %zu); C++ code there formats through
// MinGW's C99 printf (libstdc++ turns on __USE_MINGW_ANSI_STDIO), which is the GNU dialect.
#if defined(__MINGW32__) && defined(__GNUC__) && !defined(__clang__)
#define BV_PRINTF_FORMAT(fmt_index, first_arg) \
    __attribute__((format(gnu_printf, fmt_index, first_arg)))
#elif defined(__GNUC__) || defined(__clang__)
#define BV_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define BV_PRINTF_FORMAT(fmt_index, first_arg)
#endif

namespace bv_platform {

#ifdef _WIN32
inline constexpr char path_sep = '\\';
inline constexpr const char *path_sep_str = "\\";
// Without binary mode the runtime turns "\n" into "\r\n" and ends input at 0x1A.
inline void set_binary(std::FILE *stream) { _setmode(_fileno(stream), _O_BINARY); }
inline constexpr bool has_text_mode = true;
#else
inline constexpr char path_sep = '/';
inline constexpr const char *path_sep_str = "/";
// Streams have no text mode here: the bytes already pass unchanged.
inline void set_binary(std::FILE *) {}
inline constexpr bool has_text_mode = false;
#endif

inline constexpr bool is_sep(char c) { return c == '/' || c == '\\'; }

}  // namespace bv_platform
