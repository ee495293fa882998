#include "lib/orvSessionFeature.h"

#include "lib/orvThreads.h"

#include <algorithm>

namespace {
constexpr const char* kUnit = "lib/orvSessionFeature";
}

void TorvSessionFeature::TakeOver(TorvConnection&) {}
void TorvSessionFeature::Refresh() {}
void TorvSessionFeature::HandleOneCommand() {}
void TorvSessionFeature::EndOfTick() {}

TorvSessionFeatures::~TorvSessionFeatures()
{
    DestroyAll();
}

void TorvSessionFeatures::Add(std::unique_ptr<TorvSessionFeature> feature)
{
    orvAssert(feature != nullptr, kUnit, "No session feature");
    orvAssert(Find(feature->Kind()) == nullptr, kUnit, "Session feature added twice");
    FFeatures.push_back(std::move(feature));
}

TorvSessionFeature* TorvSessionFeatures::Find(TorvFeatureKind kind) const
{
    for (const auto& f : FFeatures)
        if (f->Kind() == kind)
            return f.get();
    return nullptr;
}

template <typename F>
void TorvSessionFeatures::InOrder(std::initializer_list<TorvFeatureKind> order, F&& step)
{
    for (TorvFeatureKind kind : order)
        if (TorvSessionFeature* feature = Find(kind))
            step(*feature);
}

void TorvSessionFeatures::TakeOver(TorvConnection& connection)
{
    InOrder({TorvFeatureKind::Chat, TorvFeatureKind::FileTransfer, TorvFeatureKind::RemoteDesktop},
            [&](TorvSessionFeature& f) { f.TakeOver(connection); });
}

void TorvSessionFeatures::Refresh()
{
    InOrder({TorvFeatureKind::RemoteDesktop, TorvFeatureKind::Chat, TorvFeatureKind::FileTransfer},
            [](TorvSessionFeature& f) { f.Refresh(); });
}

void TorvSessionFeatures::HandleOneCommand()
{
    InOrder({TorvFeatureKind::RemoteDesktop}, [](TorvSessionFeature& f) { f.HandleOneCommand(); });
}

void TorvSessionFeatures::EndOfTick()
{
    InOrder({TorvFeatureKind::Update}, [](TorvSessionFeature& f) { f.EndOfTick(); });
}

void TorvSessionFeatures::DestroyAll()
{
    for (TorvFeatureKind kind : {TorvFeatureKind::Chat, TorvFeatureKind::FileTransfer,
                                 TorvFeatureKind::Update, TorvFeatureKind::RemoteDesktop}) {
        auto it = std::find_if(FFeatures.begin(), FFeatures.end(),
                               [kind](const auto& f) { return f->Kind() == kind; });
        if (it == FFeatures.end())
            continue;
        // Out of the list first: a feature's destructor may still look for the others.
        std::unique_ptr<TorvSessionFeature> leaving = std::move(*it);
        FFeatures.erase(it);
    }
}
