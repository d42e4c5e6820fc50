// How a path reaches the Windows file calls. The narrow ("ANSI") calls refuse any path longer
// than 259 characters, and the storage's deepest names (referrer links of sha512 manifests)
// are longer than that under any root; so every file call of platform/ takes the wide form of
// the path, converted from the ANSI code page as the narrow calls would, and a long path is
// made absolute and given the extended-length prefix ("\\?\"), which lifts the limit.
// Elsewhere paths reach the system unchanged, and nothing here is compiled.
#pragma once

#ifdef _WIN32

#include <cstring>
#include <string>

// Our own declarations, matching the system's: never <windows.h> with its macros.
extern "C" __declspec(dllimport) int __stdcall MultiByteToWideChar(unsigned int, unsigned long,
                                                                   const char *, int, wchar_t *,
                                                                   int);
extern "C" __declspec(dllimport) int __stdcall WideCharToMultiByte(unsigned int, unsigned long,
                                                                   const wchar_t *, int, char *,
                                                                   int, const char *, int *);
extern "C" __declspec(dllimport) unsigned long __stdcall GetFullPathNameW(const wchar_t *,
                                                                          unsigned long,
                                                                          wchar_t *,
                                                                          wchar_t **);

namespace bv_platform {

// Paths shorter than this pass as they are, exactly as the narrow calls took them; the
// shortest limit among the calls is that of a new directory (260, less 12 for a short name).
inline constexpr size_t long_path_from = 248;

// The wide form of one narrow path, for the length of one call. A path that cannot be
// converted becomes the empty path, which every call refuses as missing.
class sys_path {
public:
    explicit sys_path(const char *path) {
        text_ = widen(path, std::strlen(path));
        if (text_.size() < long_path_from || text_.rfind(L"\\\\?\\", 0) == 0) return;
        // The prefix turns off the system's own clean-up of the path (relative names, "/"
        // for "\", "." and ".."), so the full path is made first.
        const unsigned long need = GetFullPathNameW(text_.c_str(), 0, nullptr, nullptr);
        std::wstring full(need, L'\0');
        const unsigned long got =
            need == 0 ? 0 : GetFullPathNameW(text_.c_str(), need, full.data(), nullptr);
        if (got == 0 || got >= need) {
            text_.clear();
            return;
        }
        full.resize(got);
        if (full.rfind(L"\\\\.\\", 0) == 0 || full.rfind(L"\\\\?\\", 0) == 0)
            text_ = full;  // a device path, or one already extended
        else if (full.rfind(L"\\\\", 0) == 0)
            text_ = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
        else
            text_ = L"\\\\?\\" + full;
    }
    const wchar_t *c_str() const { return text_.c_str(); }

    // `len` bytes of the ANSI code page as UTF-16; empty when they are not valid there.
    static std::wstring widen(const char *text, size_t len) {
        if (len == 0 || len > 0x7FFFFFFF) return {};
        const int n = MultiByteToWideChar(0 /* CP_ACP */, 0, text, static_cast<int>(len),
                                          nullptr, 0);
        if (n <= 0) return {};
        std::wstring out(static_cast<size_t>(n), L'\0');
        MultiByteToWideChar(0, 0, text, static_cast<int>(len), out.data(), n);
        return out;
    }

    // A wide file name back in the ANSI code page, into `out` (`cap` bytes, terminated): false
    // when it does not fit. A character with no form there comes back as the code page's
    // default character, as the narrow calls would have listed it.
    static bool narrow(const wchar_t *name, char *out, int cap) {
        return WideCharToMultiByte(0 /* CP_ACP */, 0, name, -1, out, cap, nullptr, nullptr) > 0;
    }

private:
    std::wstring text_;
};

}  // namespace bv_platform

#endif
