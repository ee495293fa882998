// The main window's session features are called at each hook in that hook's
// own order, whatever order they were created in, and freed in the order of
// the destruction hook.
#include "lib/orvConnections.h"
#include "lib/orvSessionFeature.h"
#include "lib/orvThreads.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Journal = std::vector<std::string>;

class TRecordingFeature : public TorvSessionFeature
{
public:
    TRecordingFeature(TorvFeatureKind kind, std::string name, Journal& journal)
        : FKind(kind), FName(std::move(name)), FJournal(journal)
    {
    }
    ~TRecordingFeature() override { FJournal.push_back("free " + FName); }
    TorvFeatureKind Kind() const override { return FKind; }
    void TakeOver(TorvConnection&) override { FJournal.push_back("take " + FName); }
    void Refresh() override { FJournal.push_back("refresh " + FName); }
    void EndOfTick() override { FJournal.push_back("tick " + FName); }

private:
    TorvFeatureKind FKind;
    std::string FName;
    Journal& FJournal;
};

TEST(SessionFeatures, EachHookRunsTheFeaturesInItsOwnOrder)
{
    Journal journal;
    auto features = std::make_unique<TorvSessionFeatures>();
    // The creation hook's order: the file-transfer panel, then the chat window.
    for (auto [kind, name] : {std::pair{TorvFeatureKind::FileTransfer, "files"},
                              {TorvFeatureKind::Chat, "chat"},
                              {TorvFeatureKind::RemoteDesktop, "desktop"},
                              {TorvFeatureKind::Update, "update"}})
        features->Add(std::make_unique<TRecordingFeature>(kind, name, journal));
    EXPECT_THROW(features->Add(std::make_unique<TRecordingFeature>(TorvFeatureKind::Chat, "again", journal)),
                 EorvAssertion);
    journal.clear(); // the refused one freed itself

    orvStartConnectionCore();
    {
        TorvConnection connection; // never activated
        features->TakeOver(connection);
    }
    orvShutdownConnectionCore();
    features->Refresh();
    features->EndOfTick();
    features.reset();
    EXPECT_EQ(journal, (Journal{"take chat", "take files", "take desktop",          // channels 3, 4, 2
                                "refresh desktop", "refresh chat", "refresh files", // while in session
                                "tick update",                                      // the update module
                                "free chat", "free files", "free update", "free desktop"}));
}

} // namespace
