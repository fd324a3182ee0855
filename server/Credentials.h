// The credentials file of `qdo-server run --auth FILE`, kept by `qdo-server passwd`.
//
// One user per line, "NAME:HASH", where HASH is a salted, deliberately slow password hash
// (libsodium's crypto_pwhash_str: Argon2id). Blank lines and lines starting with '#' are
// ignored. The file never holds a password in clear.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace qdo::server {

class TCredentials {
public:
    // Reads `path`; fails with std::runtime_error naming the file and line of a fault. A file
    // that does not exist reads as empty when `mayBeMissing` is set.
    static TCredentials Load(const std::string& path, bool mayBeMissing = false);
    // Parses the text of a credentials file; `origin` names it in errors.
    static TCredentials Parse(std::string_view text, const std::string& origin);

    // Writes the file atomically (a new file renamed over the old one), readable by its owner
    // only.
    void Save(const std::string& path) const;

    // Adds or changes a user; fails with std::invalid_argument for a name that cannot be one.
    void SetPassword(const std::string& user, std::string_view password);
    // Removes a user; false when there was none.
    bool Remove(const std::string& user);
    bool Has(const std::string& user) const { return hashes_.count(user) != 0; }
    size_t Size() const { return hashes_.size(); }

    // Whether `password` is the user's. An unknown user costs the same time as a known one
    // with a wrong password, so that the answer's timing does not tell which users exist.
    bool Check(const std::string& user, std::string_view password) const;
    // Makes ready what Check needs for unknown users, so that the first such check is not
    // slower than the others.
    static void Prepare();

    // A user name is 1 to 64 printable ASCII characters other than ':' and space.
    static bool IsUserName(std::string_view name);

private:
    std::map<std::string, std::string> hashes_;
};

// Makes a password hash as the file stores it.
std::string HashPassword(std::string_view password);

} // namespace qdo::server
