// The endpoint layer's answers byte for byte: GET against HEAD, refused header texts that
// leave standard output untouched, the error envelope's announced length, and the table from
// engine failure kinds to status and error code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oci/oci_common.h"
#include "support/test_support.h"

namespace {

const std::string api = "Docker-Distribution-API-Version: registry/2.0\r\n";
const std::string json_ct = "Content-Type: application/json; charset=utf-8\r\n";

std::string reply(const std::vector<std::string> &ops) {
    std::vector<std::string> args = {"reply"};
    args.insert(args.end(), ops.begin(), ops.end());
    auto r = bvtest::run_program(bvtest::probe_path("oci_endpoint_probe"), args);
    EXPECT_EQ(r.exit_code, 0);
    return r.out;
}

std::string envelope(const std::string &code, const std::string &message) {
    return "{\"errors\":[{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}]}\n";
}

struct ReplyCase {
    const char *label;
    std::vector<std::string> ops;
    std::string expected;
};

TEST(OciReply, HeadsAndBodiesForGetAndHead) {
    const std::string err = envelope("BLOB_UNKNOWN", "no \\\"such\\\" blob");
    const std::string err_len = std::to_string(err.size());
    const std::vector<ReplyCase> cases = {
        {"head with everything",
         {"head", "GET", "201", "text/plain", "0", "2", "Location", "/v2/a/blobs/x", "Range", "0-9"},
         "Status: 201\r\n" + api + "Content-Type: text/plain\r\nLocation: /v2/a/blobs/x\r\n"
         "Range: 0-9\r\nContent-Length: 0\r\n\r\n#0\n"},
        {"head without type or length", {"head", "GET", "204", "@null", "-1", "0"},
         "Status: 204\r\n" + api + "\r\n#0\n"},
        {"head on HEAD is the same", {"head", "HEAD", "200", "@null", "123456789012", "0"},
         "Status: 200\r\n" + api + "Content-Length: 123456789012\r\n\r\n#0\n"},
        {"body on GET", {"body", "GET", "200", "application/octet-stream", "hello", "0"},
         "Status: 200\r\n" + api + "Content-Type: application/octet-stream\r\n"
         "Content-Length: 5\r\n\r\nhello#0\n"},
        {"body on HEAD announces the length, sends nothing",
         {"body", "HEAD", "200", "application/octet-stream", "hello", "1", "X-A", "b"},
         "Status: 200\r\n" + api + "Content-Type: application/octet-stream\r\nX-A: b\r\n"
         "Content-Length: 5\r\n\r\n#0\n"},
        {"empty body", {"body", "PUT", "201", "@null", "@null", "0"},
         "Status: 201\r\n" + api + "Content-Length: 0\r\n\r\n#0\n"},
        {"json on GET", {"json", "GET", "200", "[1]"},
         "Status: 200\r\n" + api + json_ct + "Content-Length: 4\r\n\r\n[1]\n#0\n"},
        {"json null is {}", {"json", "GET", "200", "@null"},
         "Status: 200\r\n" + api + json_ct + "Content-Length: 3\r\n\r\n{}\n#0\n"},
        {"json on HEAD", {"json", "HEAD", "200", "[1]"},
         "Status: 200\r\n" + api + json_ct + "Content-Length: 4\r\n\r\n#0\n"},
        {"error counts its escapes", {"error", "GET", "404", "BLOB_UNKNOWN", "no \"such\" blob"},
         "Status: 404\r\n" + api + json_ct + "Content-Length: " + err_len + "\r\n\r\n" + err + "#0\n"},
        {"error on HEAD", {"error", "HEAD", "404", "BLOB_UNKNOWN", "no \"such\" blob"},
         "Status: 404\r\n" + api + json_ct + "Content-Length: " + err_len + "\r\n\r\n#0\n"},
        {"error defaults", {"error", "GET", "500", "@null", "@null"},
         "Status: 500\r\n" + api + json_ct + "Content-Length: 58\r\n\r\n" +
             envelope("UNKNOWN", "Unknown error") + "#0\n"},
        {"error with control bytes", {"error", "GET", "400", "X", "a\nb\x01"},
         "Status: 400\r\n" + api + json_ct + "Content-Length: 49\r\n\r\n" +
             envelope("X", "a\\nb\\u0001") + "#0\n"},
        // A 503 or 429 says when to come back, once: the caller's own value wins.
        {"503 error says when to retry", {"error", "HEAD", "503", "UNKNOWN", "@null"},
         "Status: 503\r\n" + api + json_ct + "Retry-After: 60\r\nContent-Length: 58\r\n\r\n#0\n"},
        {"429 head says when to retry", {"head", "GET", "429", "@null", "-1", "1", "X-A", "b"},
         "Status: 429\r\n" + api + "X-A: b\r\nRetry-After: 60\r\n\r\n#0\n"},
        {"caller's Retry-After is kept alone", {"head", "GET", "503", "@null", "-1", "1", "retry-after", "5"},
         "Status: 503\r\n" + api + "retry-after: 5\r\n\r\n#0\n"},
        // A reply returns: a second answer of the same process follows it.
        {"replies return", {"json", "GET", "200", "1", "json", "GET", "202", "2"},
         "Status: 200\r\n" + api + json_ct + "Content-Length: 2\r\n\r\n1\n#0\n"
         "Status: 202\r\n" + api + json_ct + "Content-Length: 2\r\n\r\n2\n#0\n"},
        // Only HEAD itself drops the body; a method that begins so is another method.
        {"HEADER keeps its body", {"body", "HEADER", "200", "@null", "x", "0"},
         "Status: 200\r\n" + api + "Content-Length: 1\r\n\r\nx#0\n"},
    };
    for (const auto &c : cases) EXPECT_EQ(reply(c.ops), c.expected) << c.label;
    EXPECT_EQ(envelope("UNKNOWN", "Unknown error").size(), 58u);
    EXPECT_EQ(envelope("X", "a\\nb\\u0001").size(), 49u);
}

TEST(OciReply, RefusedHeaderTextsWriteNothing) {
    struct Refused { const char *label; std::string name; std::string value; };
    const std::vector<Refused> cases = {
        {"CR in value", "X-A", "b\rc"},
        {"LF in value", "Location", "/v2/x\nSet-Cookie: a=b"},
        {"CR LF ends the head", "X-A", "b\r\n\r\n<html>"},
        {"other control byte", "X-A", std::string("b\x01", 2)},
        {"DEL in value", "X-A", "b\x7f"},
        {"empty name", "", "b"},
        {"space in name", "X A", "b"},
        {"colon in name", "X-A:", "b"},
        {"LF in name", "X\nA", "b"},
        {"non-ASCII name", "X-\xc3\xa9", "b"},
        {"null name", "@null", "b"},
        {"null value", "X-A", "@null"},
    };
    for (const auto &c : cases) {
        // The refused header comes second, after one that is fine: nothing at all is written.
        EXPECT_EQ(reply({"head", "GET", "200", "text/plain", "0", "2", "X-Ok", "1", c.name, c.value}),
                  "#-1\n") << c.label;
        EXPECT_EQ(reply({"body", "GET", "200", "@null", "x", "1", c.name, c.value}), "#-1\n") << c.label;
    }
    EXPECT_EQ(reply({"head", "GET", "200", "text/plain\r\nX-Evil: 1", "0", "0"}), "#-1\n");
    EXPECT_EQ(reply({"body", "HEAD", "200", "a\nb", "x", "0"}), "#-1\n");
    // Names may hold token punctuation, values tabs and spaces. (Bytes from 0x80 up pass too,
    // but a Windows command line would hand them to the probe recoded.)
    EXPECT_EQ(reply({"head", "GET", "200", "@null", "-1", "1", "X-!#$%&'*+.^_`|~1", "a\tb ~\"()"}),
              "Status: 200\r\n" + api + "X-!#$%&'*+.^_`|~1: a\tb ~\"()\r\n\r\n#0\n");
}

TEST(OciReply, StorageErrorCarriesTheEngineMessage) {
    const std::string body = envelope("UNKNOWN", "not initialized - call reg_storage_init first");
    EXPECT_EQ(reply({"storage", "GET", "BLOB_UNKNOWN"}),
              "Status: 500\r\n" + api + json_ct + "Content-Length: " + std::to_string(body.size()) +
                  "\r\n\r\n" + body + "#0\n");
}

TEST(OciStorageErrorStatus, OneRowPerKind) {
    struct Row { reg_error_kind kind; int status; const char *code; };
    const std::vector<Row> rows = {
        {REG_ERR_NAME_INVALID, 400, "NAME_INVALID"},
        {REG_ERR_DIGEST_INVALID, 400, "DIGEST_INVALID"},
        {REG_ERR_TAG_INVALID, 400, "TAG_INVALID"},
        {REG_ERR_UPLOAD_INVALID, 404, "BLOB_UPLOAD_UNKNOWN"},
        {REG_ERR_MANIFEST_INVALID, 400, "MANIFEST_INVALID"},
        {REG_ERR_NOT_FOUND, 404, "MANIFEST_UNKNOWN"},
        {REG_ERR_NAME_UNKNOWN, 404, "NAME_UNKNOWN"},
        {REG_ERR_REFERENCE_UNKNOWN, 400, "MANIFEST_BLOB_UNKNOWN"},
        {REG_ERR_DIGEST_MISMATCH, 400, "DIGEST_INVALID"},
        {REG_ERR_RANGE, 416, "BLOB_UPLOAD_INVALID"},
        {REG_ERR_INCOMPLETE, 400, "BLOB_UPLOAD_INVALID"},
        {REG_ERR_TOO_LARGE, 413, "SIZE_INVALID"},
        {REG_ERR_CONFLICT, 409, "UNKNOWN"},
        {REG_ERR_ARGUMENT, 400, "UNSUPPORTED"},
        {REG_ERR_NOT_READY, 500, "UNKNOWN"},
        {REG_ERR_IO, 500, "UNKNOWN"},
        {REG_ERR_NO_TREE, 503, "UNKNOWN"},
        {REG_ERR_NO_SPACE, 507, "UNKNOWN"},
        {REG_OK, 500, "UNKNOWN"},
        // A kind added to the engine without a row here: the server's fault, not the client's.
        {static_cast<reg_error_kind>(31), 500, "UNKNOWN"},
    };
    for (const auto &row : rows) {
        const char *code = nullptr;
        EXPECT_EQ(oci_storage_error_status(row.kind, "MANIFEST_UNKNOWN", &code), row.status) << row.kind;
        EXPECT_STREQ(code, row.code) << row.kind;
    }
    const char *code = nullptr;
    EXPECT_EQ(oci_storage_error_status(REG_ERR_NOT_FOUND, nullptr, &code), 404);
    EXPECT_STREQ(code, "NOT_FOUND");
    EXPECT_EQ(oci_storage_error_status(REG_ERR_RANGE, nullptr, nullptr), 416);
}

}  // namespace
