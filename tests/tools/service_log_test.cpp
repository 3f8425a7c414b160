// The service log's file and its digest: what drova gui appends and drova log reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "service_log.h"
#include "sha256.h"

namespace drova {
namespace {

TEST(Sha256, KnownDigests) {
    const struct {
        std::string bytes;
        const char *digest;
    } rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first chunk's tail.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000, 'a'), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
        {std::string(64, '\xff'), "8667e718294e9e0df1d30600ba3eeb201f764aad2dad72748643e4a285e1d1f7"},
    };
    for (const auto &row : rows) EXPECT_EQ(sha256_hex(row.bytes), row.digest) << row.bytes.size() << " bytes";
}

TEST(ServiceLog, AppendsLinesAndReadsTheLastOnes) {
    const auto path = std::filesystem::temp_directory_path() / "drova-service-log-test" / "nested" / "log.jsonl";
    std::filesystem::remove_all(path.parent_path().parent_path());
    const ServiceLog log(path);
    EXPECT_TRUE(log.read(10).empty());
    log.append({"KV47D00291", "unit, serial KV47D00291", "program", 2, "app.hex", std::string(64, '0'), "ok",
                "app.hex programmed"});
    // A line that is not a record (a crash mid-write, an edit) is passed over, not fatal.
    std::ofstream(path, std::ios::app) << "{not json\n";
    log.append({"KV47D00291", "unit", "write serial number", std::nullopt, "", "", "failed", "write \xff refused"});
    std::size_t unreadable = 0;
    const auto records = log.read(10, &unreadable);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(unreadable, 1u);
    EXPECT_EQ(records[0]["area"], 2);
    EXPECT_EQ(records[0]["sha256"], std::string(64, '0'));
    EXPECT_FALSE(records[1].contains("area"));
    EXPECT_FALSE(records[1].contains("image"));
    EXPECT_EQ(records[1]["text"], "write \xef\xbf\xbd refused");
    EXPECT_EQ(log.read(1).size(), 1u);
    EXPECT_EQ(log.read(1)[0]["change"], "write serial number");
    const std::string line = service_line(records[0]);
    EXPECT_NE(line.find("  KV47D00291  program area 2  app.hex (SHA-256 " + std::string(64, '0') +
                        ")  ok: app.hex programmed"),
              std::string::npos)
        << line;
    EXPECT_EQ(line.find('T'), 10u) << line;  // 2026-12-09T22:10:03Z
    EXPECT_EQ(line.substr(19, 1), "Z") << line;
    std::filesystem::remove_all(path.parent_path().parent_path());
}

}  // namespace
}  // namespace drova
