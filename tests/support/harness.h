// harness.h - shared fixtures for the library's own suites: capture of the debug
// output (one entry per output call) and substitution of the socket provider.
#ifndef VEXLOLPR_TEST_HARNESS_H
#define VEXLOLPR_TEST_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "init.h"
#include "msgtext.h"
#include "platform/posix/posix.h"
#include "wsockstb.h"

namespace vxtest {

// Every debug output while alive, one string per OutputDebugStringA call.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    const std::vector<std::string> &outputs() const { return outputs_; }
    // Outputs joined; "\r\n" separators show where lines end.
    std::string text() const;
    // Outputs that are trace lines (every other output is the "\r\n" after one).
    std::vector<std::string> lines() const;
    bool contains(const std::string &fragment) const;
    void clear() { outputs_.clear(); }

private:
    static void Sink(const char *text);
    std::vector<std::string> outputs_;
    vx::posix::DebugSink previous_;
    static DebugCapture *current_;
};

// A socket provider assembled from the real one with entries left out or replaced.
// Installed under "WSOCK32.DLL" while alive; the real one is put back afterwards.
class ProviderOverride {
public:
    ProviderOverride();
    ~ProviderOverride();
    ProviderOverride &without(const std::string &entry);
    ProviderOverride &replace(const std::string &entry, void (*proc)());
    void install();       // the assembled provider
    void uninstall();     // no provider at all: loads fail
private:
    std::vector<std::string> names_;
    std::vector<vx::posix::ModuleExport> exports_;
    vx::posix::ModuleDef def_;
    const vx::posix::ModuleDef *previous_;
};

// Returns the library to its state after load: binding unloaded and reloaded with
// the real provider, trace switch off, last-error text empty.
void ResetLibrary();

// A request block with the usual defaults.
LPR_COMMONARG CommonArg(WORD debugflags = 0);

} // namespace vxtest

#endif
