// harness.cpp - debug capture and provider substitution for the suites.
#include "harness.h"

#include <algorithm>

namespace vxtest {

DebugCapture *DebugCapture::current_;

DebugCapture::DebugCapture()
{
    current_ = this;
    previous_ = vx::posix::SetDebugSink(&DebugCapture::Sink);
}

DebugCapture::~DebugCapture()
{
    vx::posix::SetDebugSink(previous_);
    current_ = nullptr;
}

void DebugCapture::Sink(const char *text)
{
    if (current_ != nullptr)
        current_->outputs_.push_back(text);
}

std::string DebugCapture::text() const
{
    std::string all;
    for (const std::string &s : outputs_)
        all += s;
    return all;
}

std::vector<std::string> DebugCapture::lines() const
{
    std::vector<std::string> result;
    for (const std::string &s : outputs_)
        if (s != "\r\n")
            result.push_back(s);
    return result;
}

bool DebugCapture::contains(const std::string &fragment) const
{
    return std::any_of(outputs_.begin(), outputs_.end(),
                       [&](const std::string &s) { return s.find(fragment) != std::string::npos; });
}

ProviderOverride::ProviderOverride() : def_{"WSOCK32.DLL", nullptr, 0}, previous_(nullptr)
{
    const vx::posix::ModuleDef *real = vx::posix::WinsockProvider();
    for (size_t i = 0; i < real->count; i++) {
        names_.push_back(real->exports[i].name);
        exports_.push_back(real->exports[i]);
    }
}

ProviderOverride::~ProviderOverride()
{
    if (previous_ != nullptr || def_.exports != nullptr)
        vx::posix::SetModule("WSOCK32.DLL", vx::posix::WinsockProvider());
}

ProviderOverride &ProviderOverride::without(const std::string &entry)
{
    for (size_t i = 0; i < names_.size(); i++)
        if (names_[i] == entry) {
            names_.erase(names_.begin() + static_cast<long>(i));
            exports_.erase(exports_.begin() + static_cast<long>(i));
        }
    return *this;
}

ProviderOverride &ProviderOverride::replace(const std::string &entry, void (*proc)())
{
    for (size_t i = 0; i < names_.size(); i++)
        if (names_[i] == entry)
            exports_[i].proc = proc;
    return *this;
}

void ProviderOverride::install()
{
    for (size_t i = 0; i < exports_.size(); i++)
        exports_[i].name = names_[i].c_str();
    def_.exports = exports_.data();
    def_.count = exports_.size();
    previous_ = vx::posix::SetModule("WSOCK32.DLL", &def_);
}

void ProviderOverride::uninstall()
{
    previous_ = vx::posix::SetModule("WSOCK32.DLL", nullptr);
    def_.exports = exports_.data(); // marks the override as in force
}

void ResetLibrary()
{
    vx::traceflags = 0;
    vx::UnloadWinsock();
    vx::posix::SetModule("WSOCK32.DLL", vx::posix::WinsockProvider());
    vx::LoadWinsock();
    vx::ClearLastErrorText();
}

LPR_COMMONARG CommonArg(WORD debugflags)
{
    LPR_COMMONARG common = {};
    common.username = "tester";
    common.clienthost = "client";
    common.replytimeout = 2000;
    common.lprtimeout = 1;
    common.debugflags = debugflags;
    return common;
}

} // namespace vxtest
