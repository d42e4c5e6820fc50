// The access file's rules as the dispatcher's access decision uses them: parsing a file's text
// and deciding one request from it, apart from finding and reading the file, so the rules can
// be exercised on their own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "oci/oci_common.h"

namespace oci_access_rules {

// The largest access file read; a longer one is refused as unusable rather than cut short.
inline constexpr std::size_t max_file_bytes = 1u << 20;

enum class verdict { permit, deny, unusable };

struct decision {
    verdict outcome = verdict::deny;
    std::string why;  // for the client: why it was refused or why the rules are unusable
};

// 1 when `prefix` covers the repository `repo` by whole path components ("team" covers "team"
// and "team/app", not "teamx"); "*" covers every repository, also "" (endpoints without one).
bool prefix_covers(std::string_view prefix, std::string_view repo);

// Decides whether `user` ("" for a request without login) may have `access` to `repo` under
// the rules in `text`. A text with any malformed line is unusable for every request.
decision decide(std::string_view text, std::string_view user, std::string_view repo,
                oci_access access);

}  // namespace oci_access_rules
