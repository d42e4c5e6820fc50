// Query parameters read from the request record alone: decoding, repeated and absent keys,
// values that do not fit or decode to NUL.
#include <gtest/gtest.h>

#include <string>

#include "oci/oci_common.h"

namespace {

TEST(OciQuery, ParametersOfTheRequestAlone) {
    struct Case {
        const char *query;
        const char *name;
        size_t cap;
        int result;
        std::string value;
    };
    const Case cases[] = {
        {"digest=sha256%3Aab&x=1", "digest", 64, 1, "sha256:ab"},
        {"mount=a&from=lib%2Fapp+x", "from", 64, 1, "lib/app x"},
        {"n=&last=b", "n", 64, 1, ""},
        {"n", "n", 64, 1, ""},
        {"N=3", "n", 64, 0, ""},
        {"nn=3&n=4&n=5", "n", 64, 1, "4"},
        {"last=%zz%4", "last", 64, 1, "%zz%4"},
        {"last=abcdef", "last", 6, -1, ""},
        {"last=a%00b", "last", 64, -1, ""},
        {"", "digest", 64, 0, ""},
    };
    for (const Case &c : cases) {
        oci_request request{};
        request.query = c.query;
        char out[64] = "stale";
        EXPECT_EQ(oci_query_param(&request, c.name, out, c.cap), c.result) << c.query;
        EXPECT_EQ(std::string(out), c.value) << c.query;
    }
}

}  // namespace
