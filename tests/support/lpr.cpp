// lpr.cpp - helpers of the protocol suites.
#include "lpr.h"

#include <stdlib.h>

#include <fstream>

namespace vxtest {

void LprTest::SetUp()
{
    IoTest::SetUp();
    char tmpl[] = "/tmp/vexlolpr-lpr-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    // The jobs' numbers are this test's own, whatever else the user prints meanwhile.
    vx::posix::SetStateDirectory(dir_.c_str());
    blocks_ = vx::posix::GlobalBlocksInUse();
    common_.replytimeout = 5000;
}

void LprTest::TearDown()
{
    vx::lpdport = vx::LPD_PORT;
    vx::posix::SetStateDirectory(nullptr);
    EXPECT_EQ(vx::posix::GlobalBlocksInUse(), blocks_) << "a block was not released";
    EXPECT_EQ(vx::ThisRequest().hwndwait.load(), nullptr) << "the status dialog outlived the request";
    (void)system(("rm -rf " + dir_).c_str());
    IoTest::TearDown();
}

std::string LprTest::File(const std::string &name, const std::string &content)
{
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

LPR_PRINTARG LprTest::PrintArg(const std::string &path)
{
    LPR_PRINTARG p = {};
    paths_.push_back(path);
    p.filename = paths_.back().c_str();
    p.host = "127.0.0.1";
    p.printer = "lp";
    p.copies = 1;
    p.format = 'f';
    return p;
}

std::string LprTest::LastError()
{
    char buf[512];
    LPR_GetLastErrorText(buf, sizeof buf);
    return buf;
}

std::string LprTest::StemOf(const std::string &wire)
{
    size_t at = wire.find(" dfA");
    if (at == std::string::npos)
        at = wire.find(" cfA");
    if (at == std::string::npos)
        return "";
    size_t end = wire.find('\n', at);
    return wire.substr(at + 2, end - at - 2);
}

static std::string ControlText(const LPR_PRINTARG &p, const LPR_COMMONARG &c, const std::string &stem)
{
    vx::ControlFileArgs args = {c.clienthost, c.username, p.filename, stem.c_str(), p.copies,
                                p.format, p.jobname, p.bannerclass, p.nobanner};
    std::string text(vx::BuildControlFile(args, nullptr) + 1, '\0');
    vx::BuildControlFile(args, &text[0]);
    text.pop_back();
    return text;
}

std::string LprTest::JobBytes(const LPR_PRINTARG &p, const LPR_COMMONARG &c, const std::string &stem,
                              const std::string &content)
{
    std::string control = ControlText(p, c, stem);
    std::string controlpart = "\x02" + std::to_string(control.size()) + " c" + stem + "\n" + control + '\0';
    std::string datapart = "\x03" + std::to_string(content.size()) + " d" + stem + "\n" + content + '\0';
    std::string head = std::string("\x02") + p.printer + "\n";
    return head + (p.controlfirst ? controlpart + datapart : datapart + controlpart);
}

std::vector<PeerStep> LprTest::AcceptJob(const LPR_PRINTARG &p, const LPR_COMMONARG &c, size_t contentsize)
{
    size_t controlsize = ControlText(p, c, "fA000" + std::string(c.clienthost)).size();
    std::vector<PeerStep> control = {Peer::ReadLine(), Peer::Ack(), Peer::Read(controlsize + 1), Peer::Ack()};
    std::vector<PeerStep> data = {Peer::ReadLine(), Peer::Ack(), Peer::Read(contentsize + 1), Peer::Ack()};
    std::vector<PeerStep> script = {Peer::ReadLine(), Peer::Ack()};
    for (const PeerStep &s : p.controlfirst ? control : data)
        script.push_back(s);
    for (const PeerStep &s : p.controlfirst ? data : control)
        script.push_back(s);
    script.push_back(Peer::ReadToClose());
    return script;
}

} // namespace vxtest
