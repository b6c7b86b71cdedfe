// EEPROM access through the real binary and the simulated board.
#include <gtest/gtest.h>

#include "tests/helpers.h"

class Eeprom : public SimTest {
protected:
    byte boardByte(int adrs) { return simBoardSnapshot(sim).eeprom[static_cast<size_t>(adrs)]; }
    // The report that follows the EEPROM lines.
    static std::string tail(const std::string& out, size_t lines)
    {
        size_t pos = 0;
        for (size_t i = 0; i < lines; i++)
            pos = out.find('\n', pos) + 1;
        return out.substr(pos);
    }
};

TEST_F(Eeprom, ReadSendsTwoRequestsAndPrintsTheByte)
{
    startSim();
    ASSERT_EQ(simControl(sim, "eeprom 16 0xA5"), "");
    const RunResult r = vexo({"--eer", "16"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 6), "10:A5\n");
    EXPECT_EQ(tail(r.out, 1).substr(0, 29), "Supply Voltage ADC    = 0300\n") << "the report follows";
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_TRUE(VEXObit(reqs[0].outputs, eeRead));
    EXPECT_FALSE(VEXObit(reqs[0].outputs, eeWrite));
    EXPECT_EQ(+reqs[0].ee_addr, 0x10);
    EXPECT_FALSE(VEXObit(reqs[1].outputs, eeRead));
    EXPECT_EQ(+reqs[1].ee_addr, 0x10);
}

TEST_F(Eeprom, WriteSendsOneRequestAndPrintsTwoLines)
{
    const RunResult r = vexo({"--eeval", "5", "--eew", "16"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 34), "Writing 05 to 10\nEE WR 05 -> [10]\n");
    const auto reqs = requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_TRUE(VEXObit(reqs[0].outputs, eeWrite));
    EXPECT_FALSE(VEXObit(reqs[0].outputs, eeRead));
    EXPECT_EQ(+reqs[0].ee_addr, 0x10);
    EXPECT_EQ(+reqs[0].ee_data, 0x05);
    EXPECT_EQ(boardByte(0x10), 0x05);
}

TEST_F(Eeprom, ValueIsCutToEightBits)
{
    const RunResult r = vexo({"--eeval", "300", "--eew", "5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 34), "Writing 2C to 05\nEE WR 2C -> [05]\n");
    EXPECT_EQ(boardByte(5), 0x2C);
}

TEST_F(Eeprom, ReadThenWriteCopiesAByte)
{
    startSim();
    ASSERT_EQ(simControl(sim, "eeprom 5 0x3C"), "");
    const RunResult r = vexo({"--eer", "5", "--eew", "6"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 40), "05:3C\nWriting 3C to 06\nEE WR 3C -> [06]\n");
    EXPECT_EQ(boardByte(6), 0x3C);
}

TEST_F(Eeprom, WriteWithoutValueWritesNothing)
{
    const RunResult r = vexo({"--eew", "6", "--eeval", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 54), "No value to write: give --eeval or --eer before --eew\n");
    EXPECT_TRUE(simRequests(sim).empty());
}

TEST_F(Eeprom, BoardThatNeverAcknowledgesEndsWithStatusThree)
{
    startSim();
    simSetIgnoreRequests(sim, true);
    const RunResult r = vexo({"--eer", "1"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Failed to change AVR state\n");
    EXPECT_EQ(simRequests(sim).size(), 3u);
}

TEST_F(Eeprom, FileSurvivesARestart)
{
    const TempDir tmp;
    cfg.board.eepromPath = tmp.path() + "/eeprom.bin";
    ASSERT_EQ(vexo({"--eeval", "0x77", "--eeval", "119", "--eew", "200"}).status, 0);
    simServerStop(sim);
    started = false;
    EXPECT_EQ(readFile(cfg.board.eepromPath).size(), 256u);
    simClearRequests(sim);
    const RunResult r = vexo({"--eer", "200"});
    EXPECT_EQ(r.out.substr(0, 6), "C8:77\n");
}
