#pragma once

// A sink that keeps every skip and creates a missing destination without asking: what the
// pipeline's tests look at.

#include <velmarch/engine.h>

#include <utility>
#include <vector>

namespace archive_engine {

struct SkipRecorder : ExtractionSink {
    void progress(int) override {}
    void entryStarted(const QString&) override {}
    void skipped(const QString& name, SkipReason reason) override {
        skips.emplace_back(name, reason);
    }
    bool createDestination() override { return true; }
    std::vector<std::pair<QString, SkipReason>> skips;
};

} // namespace archive_engine
