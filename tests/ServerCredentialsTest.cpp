// The credentials file of the server, and the throttle of failed logons: pure code on texts
// and an injected clock.
#include "server/Credentials.h"
#include "server/FailureThrottle.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace qdo::server {
namespace {

namespace fs = std::filesystem;

// A hash in the stored form, made once for the whole program (each costs tens of ms).
const std::string& AnyHash() {
    static const std::string hash = HashPassword("pw");
    return hash;
}

TEST(ServerCredentials, UserNames) {
    for (const char* good : {"a", "alice", "A.b-c_d@e", "x123"})
        EXPECT_TRUE(TCredentials::IsUserName(good)) << good;
    for (const std::string& bad :
         {std::string(), std::string("a:b"), std::string("a b"), std::string("tab\there"),
          std::string("nl\n"), std::string("\x1b[31m"), std::string("caf\xc3\xa9"),
          std::string(65, 'u')})
        EXPECT_FALSE(TCredentials::IsUserName(bad)) << bad;
    EXPECT_TRUE(TCredentials::IsUserName(std::string(64, 'u')));
}

TEST(ServerCredentials, ParsesLinesAndNamesTheLineOfAFault) {
    const std::string hash = AnyHash();
    const auto parsed =
        TCredentials::Parse("# comment\n\nalice:" + hash + "\r\nbob:" + hash, "file");
    EXPECT_EQ(parsed.Size(), 2u);
    EXPECT_TRUE(parsed.Has("alice"));
    EXPECT_TRUE(parsed.Has("bob"));

    const struct {
        std::string text;
        std::string fault;
    } faults[] = {
        {"alice\n", "file:1: not a line NAME:HASH"},
        {"# c\n:" + hash + "\n", "file:2: not a line NAME:HASH"},
        {"alice:secret\n", "file:1: not a password hash"},
        {"alice:" + hash + "\nalice:" + hash + "\n", "file:2: a user named twice"},
        {"al ice:" + hash + "\n", "file:1: not a line NAME:HASH"},
    };
    for (const auto& c : faults) {
        try {
            TCredentials::Parse(c.text, "file");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.fault, 0), 0u) << e.what();
        }
    }
}

TEST(ServerCredentials, ChecksPasswordsAndKeepsNoneInClear) {
    const fs::path folder =
        fs::temp_directory_path() / ("qdo-credentials-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string file = (folder / "auth").string();

    TCredentials credentials = TCredentials::Load(file, true);
    EXPECT_EQ(credentials.Size(), 0u);
    credentials.SetPassword("alice", "correct horse");
    credentials.SetPassword("bob", std::string("with\0nul", 8));
    credentials.Save(file);

    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::stringstream text;
    text << std::ifstream(file).rdbuf();
    EXPECT_EQ(text.str().find("correct horse"), std::string::npos);
    EXPECT_NE(text.str().find("alice:$argon2id$"), std::string::npos);

    const TCredentials loaded = TCredentials::Load(file);
    EXPECT_TRUE(loaded.Check("alice", "correct horse"));
    EXPECT_FALSE(loaded.Check("alice", "correct horse "));
    EXPECT_FALSE(loaded.Check("alice", ""));
    EXPECT_TRUE(loaded.Check("bob", std::string("with\0nul", 8)));
    EXPECT_FALSE(loaded.Check("bob", "with"));
    EXPECT_FALSE(loaded.Check("carol", "correct horse"));
    EXPECT_FALSE(loaded.Check("", ""));

    // Two hashes of one password differ: each has its own salt.
    TCredentials again = loaded;
    again.SetPassword("carol", "correct horse");
    again.Save(file);
    std::stringstream second;
    second << std::ifstream(file).rdbuf();
    const auto hashOf = [&](const std::string& all, const std::string& user) {
        const size_t at = all.find(user + ":");
        return all.substr(at + user.size() + 1, all.find('\n', at) - at - user.size() - 1);
    };
    EXPECT_NE(hashOf(second.str(), "alice"), hashOf(second.str(), "carol"));

    EXPECT_TRUE(again.Remove("alice"));
    EXPECT_FALSE(again.Remove("alice"));
    EXPECT_THROW(again.SetPassword("no:colon", "x"), std::invalid_argument);
    EXPECT_THROW(TCredentials::Load((folder / "missing").string()), std::runtime_error);
    fs::remove_all(folder);
}

TEST(ServerCredentials, ThrottlesAHostAfterItsFailuresUntilTheyAge) {
    using namespace std::chrono_literals;
    TFailureThrottle throttle(3, 60s);
    const auto start = TFailureThrottle::Clock::time_point{} + 1000s;
    EXPECT_FALSE(throttle.IsThrottled("10.0.0.1", start));
    throttle.RecordFailure("10.0.0.1", start);
    throttle.RecordFailure("10.0.0.1", start + 10s);
    EXPECT_FALSE(throttle.IsThrottled("10.0.0.1", start + 10s));
    throttle.RecordFailure("10.0.0.1", start + 20s);
    EXPECT_TRUE(throttle.IsThrottled("10.0.0.1", start + 20s));
    EXPECT_FALSE(throttle.IsThrottled("10.0.0.2", start + 20s)) << "another host";
    EXPECT_TRUE(throttle.IsThrottled("10.0.0.1", start + 59s));
    // The first failure ages out of the window: two remain.
    EXPECT_FALSE(throttle.IsThrottled("10.0.0.1", start + 60s));
    EXPECT_FALSE(throttle.IsThrottled("10.0.0.1", start + 200s));
}

} // namespace
} // namespace qdo::server
