// The HomePlug filter program: the exact table, and what it accepts when run
// by the capture library's own BPF interpreter.
#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <cstring>
#include <vector>

#include "packet/driver.h"

namespace {

std::vector<bpf_insn> program() {
    std::vector<bpf_insn> p(7);
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = {kHomePlugFilter[i].code, kHomePlugFilter[i].jt, kHomePlugFilter[i].jf,
                kHomePlugFilter[i].k};
    return p;
}

std::vector<u_char> frameOfType(uint16_t etherType, size_t length = 60) {
    std::vector<u_char> f(length, 0x5A);
    std::memset(f.data(), 0xFF, 6);
    f[12] = static_cast<u_char>(etherType >> 8);
    f[13] = static_cast<u_char>(etherType);
    return f;
}

u_int run(const std::vector<u_char>& frame) {
    std::vector<bpf_insn> p = program();
    return bpf_filter(p.data(), frame.data(), static_cast<u_int>(frame.size()),
                      static_cast<u_int>(frame.size()));
}

TEST(HomePlugFilter, IsTheSevenInstructionTable) {
    const FilterInstruction expected[7] = {
        {0x28, 0, 0, 12},     {0x15, 0, 1, 0x887B},     {0x06, 0, 0, 0xFFFFFFFF}, {0x28, 0, 0, 12},
        {0x15, 0, 1, 0x88E1}, {0x06, 0, 0, 0xFFFFFFFF}, {0x06, 0, 0, 0},
    };
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].code, kHomePlugFilter[i].code);
        EXPECT_EQ(expected[i].jt, kHomePlugFilter[i].jt);
        EXPECT_EQ(expected[i].jf, kHomePlugFilter[i].jf);
        EXPECT_EQ(expected[i].k, kHomePlugFilter[i].k);
    }
    std::vector<bpf_insn> p = program();
    EXPECT_NE(0, bpf_validate(p.data(), static_cast<int>(p.size())));
}

TEST(HomePlugFilter, AcceptsTheTwoHomePlugEtherTypesWhole) {
    EXPECT_EQ(0xFFFFFFFFu, run(frameOfType(0x887B)));
    EXPECT_EQ(0xFFFFFFFFu, run(frameOfType(0x88E1)));
    EXPECT_EQ(0xFFFFFFFFu, run(frameOfType(0x88E1, 1514)));
    EXPECT_EQ(0xFFFFFFFFu, run(frameOfType(0x887B, 14)));
}

TEST(HomePlugFilter, RejectsEveryOtherEtherType) {
    for (uint16_t type : {0x0800, 0x0806, 0x86DD, 0x88CC, 0x8100, 0x88A8, 0x887A, 0x887C, 0x88E0,
                          0x88E2, 0x7B88, 0xE188, 0x0000, 0xFFFF}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(0u, run(frameOfType(type)));
    }
}

TEST(HomePlugFilter, ReadsTheEtherTypeAtByteTwelveOnly) {
    // A HomePlug EtherType behind a VLAN tag, or elsewhere in the frame, is not one.
    std::vector<u_char> tagged = frameOfType(0x8100);
    tagged[16] = 0x88;
    tagged[17] = 0xE1;
    EXPECT_EQ(0u, run(tagged));
    std::vector<u_char> source = frameOfType(0x0800);
    source[10] = 0x88;
    source[11] = 0x7B;
    EXPECT_EQ(0u, run(source));
    // Too short to hold an EtherType: the load fails and the frame is dropped.
    std::vector<u_char> runt = frameOfType(0x887B, 14);
    runt.resize(13);
    EXPECT_EQ(0u, run(runt));
}

TEST(HomePlugFilter, AgreesWithTheLibraryCompiledExpression) {
    // The same decision as the library's own compiler gives for the expression.
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65536);
    ASSERT_NE(nullptr, dead);
    bpf_program compiled{};
    ASSERT_EQ(0, pcap_compile(dead, &compiled, "ether proto 0x887b or ether proto 0x88e1", 1,
                              PCAP_NETMASK_UNKNOWN));
    pcap_close(dead);
    for (uint32_t type = 0x8800; type <= 0x88FF; ++type) {
        std::vector<u_char> f = frameOfType(static_cast<uint16_t>(type));
        u_int theirs = bpf_filter(compiled.bf_insns, f.data(), 60, 60);
        EXPECT_EQ(theirs != 0, run(f) != 0) << std::hex << type;
    }
    for (uint16_t type : {0x887B, 0x0800, 0x86DD})
        EXPECT_EQ(bpf_filter(compiled.bf_insns, frameOfType(type).data(), 60, 60) != 0,
                  run(frameOfType(type)) != 0);
    pcap_freecode(&compiled);
}

} // namespace
