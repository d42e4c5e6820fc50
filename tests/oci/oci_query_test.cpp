// Query parameters read from the request record alone: decoding, repeated and absent keys,
// values that do not fit or decode to NUL, and the walk over every value of a repeated key.
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
        std::string every;  // each value the walk finds, "|" after each, "!" for a refused one
    };
    const Case cases[] = {
        {"digest=sha256%3Aab&x=1", "digest", 64, 1, "sha256:ab", "sha256:ab|"},
        {"mount=a&from=lib%2Fapp+x", "from", 64, 1, "lib/app x", "lib/app x|"},
        {"n=&last=b", "n", 64, 1, "", "|"},
        {"n", "n", 64, 1, "", "|"},
        {"N=3", "n", 64, 0, "", ""},
        {"nn=3&n=4&n=5", "n", 64, 1, "4", "4|5|"},
        {"last=%zz%4", "last", 64, 1, "%zz%4", "%zz%4|"},
        {"last=abcdef", "last", 6, -1, "", "!"},
        {"last=a%00b", "last", 64, -1, "", "!"},
        {"", "digest", 64, 0, "", ""},
        {"tag=a&tag=toolong&tag=&tag=b%2Bc&tags=d&tag", "tag", 6, 1, "a", "a|!|b+c||"},
        {"tag=a%00&tag=v1", "tag", 64, -1, "", "!v1|"},
    };
    for (const Case &c : cases) {
        oci_request request{};
        request.query = c.query;
        char out[64] = "stale";
        EXPECT_EQ(oci_query_param(&request, c.name, out, c.cap), c.result) << c.query;
        EXPECT_EQ(std::string(out), c.value) << c.query;
        std::string every;
        size_t pos = 0;
        for (int found; (found = oci_query_param_next(&request, c.name, &pos, out, c.cap)) != 0;)
            every += found == 1 ? std::string(out) + "|" : "!";
        EXPECT_EQ(every, c.every) << c.query;
    }
}

}  // namespace
