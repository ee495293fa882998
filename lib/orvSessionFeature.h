#pragma once

// How a session feature (chat, file transfer, remote desktop, update check)
// plugs into the main window. The window owns one TorvSessionFeatures and
// calls it at its hook points; each feature does its own share there, and the
// order in which the features run at each hook is kept here, in one place.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TorvConnection;
class TorvChannelThread;
class TorvSessionReceipt;

// What the main window offers the features.
class TorvSessionHost
{
public:
    // The session's connection, or none.
    virtual TorvConnection* SessionConnection() const = 0;
    // The session's thread of a channel, or none without a connection.
    virtual TorvChannelThread* SessionChannelThread(int channel) const = 0;
    // How far the user trusts the helpdesk in this session (0 to 3).
    virtual std::uint8_t PermissionLevel() const = 0;
    // Raises the level to at least the given one; never lowers it. cause:
    // why, in plain words, for the session's receipt.
    virtual void RaisePermissionLevel(std::uint8_t atLeast, const std::string& cause) = 0;
    // The receipt of the session in progress, or of the last one; none before the first.
    virtual std::shared_ptr<TorvSessionReceipt> SessionReceipt() const = 0;

protected:
    ~TorvSessionHost() = default;
};

enum class TorvFeatureKind { FileTransfer, Chat, RemoteDesktop, Update };

// One feature. It is created at the window's creation hook (in its
// constructor) and freed at the destruction hook (in its destructor).
class TorvSessionFeature
{
public:
    virtual ~TorvSessionFeature() = default;
    virtual TorvFeatureKind Kind() const = 0;
    // A connection has been taken over: add and start the feature's channel thread.
    virtual void TakeOver(TorvConnection& connection);
    // Every timer tick while the helpdesk is in the session.
    virtual void Refresh();
    // Every timer tick, after the command channel's command: one waiting
    // command of the feature's own channel.
    virtual void HandleOneCommand();
    // The last step of every timer tick.
    virtual void EndOfTick();
};

// The window's features, called in each hook's own order.
class TorvSessionFeatures
{
public:
    TorvSessionFeatures() = default;
    ~TorvSessionFeatures();
    TorvSessionFeatures(const TorvSessionFeatures&) = delete;
    TorvSessionFeatures& operator=(const TorvSessionFeatures&) = delete;

    // One feature of each kind; a second of the same kind is a programming error.
    void Add(std::unique_ptr<TorvSessionFeature> feature);
    TorvSessionFeature* Find(TorvFeatureKind kind) const;

    void TakeOver(TorvConnection& connection); // chat, file transfer, remote desktop
    void Refresh();                            // remote desktop, chat, file transfer
    void HandleOneCommand();                   // remote desktop
    void EndOfTick();                          // update check
    // The destruction hook: chat, file transfer, update check, then the rest.
    void DestroyAll();

private:
    template <typename F> void InOrder(std::initializer_list<TorvFeatureKind> order, F&& step);

    std::vector<std::unique_ptr<TorvSessionFeature>> FFeatures;
};
