#pragma once

// The current user's settings store that the host launcher reads: one key
// holding typed values (32-bit integers and binary data), kept in one file
// under $XDG_CONFIG_HOME with mode 0600.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// One open key. Values written are read back at once; the file is written when
// the key is closed (or destroyed), not value by value.
class TorvKeyStore
{
public:
    virtual ~TorvKeyStore() = default;
    virtual void WriteInteger(const std::string& name, std::uint32_t value) = 0;
    virtual std::optional<std::uint32_t> ReadInteger(const std::string& name) = 0;
    virtual void WriteBinary(const std::string& name, const std::string& bytes) = 0;
    virtual std::optional<std::string> ReadBinary(const std::string& name) = 0;
    // Writes the key's file; raises std::runtime_error when it cannot be written.
    virtual void Close() = 0;
};

// A key kept in one file. Opening creates nothing; a missing file is an empty key.
// A file that does not parse raises std::runtime_error rather than being overwritten.
class TorvFileKeyStore final : public TorvKeyStore
{
public:
    explicit TorvFileKeyStore(std::string path);
    ~TorvFileKeyStore() override; // closes; a failure there is swallowed
    TorvFileKeyStore(const TorvFileKeyStore&) = delete;
    TorvFileKeyStore& operator=(const TorvFileKeyStore&) = delete;

    void WriteInteger(const std::string& name, std::uint32_t value) override;
    std::optional<std::uint32_t> ReadInteger(const std::string& name) override;
    void WriteBinary(const std::string& name, const std::string& bytes) override;
    std::optional<std::string> ReadBinary(const std::string& name) override;
    void Close() override;

    const std::string& Path() const { return FPath; }

private:
    struct Impl;
    std::string FPath;
    std::unique_ptr<Impl> FImpl;
};

// The file of a key path such as "software\\orvalis2005_host":
// $XDG_CONFIG_HOME (default ~/.config) + "/orvalis/" + the path with '\\' as '/' + ".keys".
std::string orvKeyStorePath(const std::string& keyPath);
