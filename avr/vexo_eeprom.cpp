// EEPROM access: one byte at a time through ordinary requests with the
// eeRead or eeWrite bit, answered by eeAck in the status record.
#include <array>

#include "avr.h"
#include "file.h"
#include "vexo.h"

int VEXOEEPROMcallback(ByteArrayRef req1, ByteArrayRef rep1)
{
    const VEXOrequest req = VEXOrequest_Get(req1);
    const VEXOreply rep = VEXOreply_Get(rep1);
    if (rep.ee_addr != req.ee_addr)
        return 1;
    return VEXObit(rep.outputs, eeAck) ? 0 : 2;
}

int VEXOEEPROMdoneCallback(ByteArrayRef, ByteArrayRef rep1)
{
    return VEXObit(VEXOreply_Get(rep1).outputs, eeAck) ? 1 : 0;
}

byte VEXOreadEEPROM(FILE* f, byte adrs, VEXOreply* pkt)
{
    const ByteArrayRef bPkt = BAR(pkt, sizeof *pkt);
    std::array<byte, sizeof(VEXOrequest)> reqBuf{};
    const ByteArrayRef bReq = BAR(reqBuf.data(), reqBuf.size());

    AVRreplyGet(f, bPkt);
    VEXOrequestInitFromReply(bPkt, bReq);
    VEXOrequest req = VEXOrequest_Get(bReq);
    req.ee_addr = adrs;
    req.outputs = VEXOsetBit(req.outputs, eeWrite, 0);
    req.outputs = VEXOsetBit(req.outputs, eeRead, 1);
    VEXOrequest_Put(bReq, req);
    pkt->ee_addr = 0xFF;
    AVRsendRequest(f, bReq, bPkt, VEXOEEPROMcallback);

    req = VEXOrequest_Get(bReq);
    req.outputs = VEXOsetBit(req.outputs, eeRead, 0);
    VEXOrequest_Put(bReq, req);
    VEXOreply done{};
    AVRsendRequest(f, bReq, BAR(&done, sizeof done), VEXOEEPROMdoneCallback);
    return pkt->ee_data;
}

void VEXOprintEEPROMwrite(byte adrs, byte value) { printf("EE WR %02X -> [%02X]\n", value, adrs); }

// A write; the line is printed when print is set.
static void writeEEPROM(FILE* f, byte adrs, byte value, bool print, VEXOreply* rep)
{
    const ByteArrayRef bRep = BAR(rep, sizeof *rep);
    std::array<byte, sizeof(VEXOrequest)> reqBuf{};
    const ByteArrayRef bReq = BAR(reqBuf.data(), reqBuf.size());

    fileFlushInput(f);
    AVRreplyGet(f, bRep);
    VEXOrequestInitFromReply(bRep, bReq);
    VEXOrequest req = VEXOrequest_Get(bReq);
    req.ee_addr = adrs;
    req.ee_data = value;
    req.outputs = VEXOsetBit(req.outputs, eeWrite, 1);
    req.outputs = VEXOsetBit(req.outputs, eeRead, 0);
    VEXOrequest_Put(bReq, req);
    if (print)
        VEXOprintEEPROMwrite(adrs, value);
    AVRsendRequest(f, bReq, bRep, VEXOEEPROMcallback);
}

void VEXOwriteEEPROM(FILE* f, byte adrs, byte value)
{
    VEXOreply rep{};
    writeEEPROM(f, adrs, value, true, &rep);
}

void VEXOwriteEEPROMquiet(FILE* f, byte adrs, byte value, VEXOreply* rep) { writeEEPROM(f, adrs, value, false, rep); }
