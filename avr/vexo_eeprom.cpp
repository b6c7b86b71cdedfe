// EEPROM access: one byte at a time through ordinary requests with the
// eeRead or eeWrite bit, answered by eeAck in the status record.
#include <array>

#include "avr/avr.h"
#include "lib/file.h"
#include "avr/vexo.h"

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

// How an exchange goes out: AVRsendRequest, or AVRsendRequestTry for a
// change asked through the supervisor.
using EEPROMsender = ByteArrayRef (*)(FILE*, ByteArrayRef, ByteArrayRef, AVRcheckFunc);

// A read; false when the board did not take one of its two exchanges.
static bool readEEPROM(FILE* f, byte adrs, VEXOreply* pkt, EEPROMsender send)
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
    if (send(f, bReq, bPkt, VEXOEEPROMcallback).arr == nullptr)
        return false;

    req = VEXOrequest_Get(bReq);
    req.outputs = VEXOsetBit(req.outputs, eeRead, 0);
    VEXOrequest_Put(bReq, req);
    VEXOreply done{};
    return send(f, bReq, BAR(&done, sizeof done), VEXOEEPROMdoneCallback).arr != nullptr;
}

byte VEXOreadEEPROM(FILE* f, byte adrs, VEXOreply* pkt)
{
    readEEPROM(f, adrs, pkt, AVRsendRequest);
    return pkt->ee_data;
}

bool VEXOreadEEPROMtry(FILE* f, byte adrs, VEXOreply* pkt) { return readEEPROM(f, adrs, pkt, AVRsendRequestTry); }

void VEXOprintEEPROMwrite(byte adrs, byte value) { printf("EE WR %02X -> [%02X]\n", value, adrs); }

// A write; the line is printed when print is set. False when the board did
// not take it.
static bool writeEEPROM(FILE* f, byte adrs, byte value, bool print, VEXOreply* rep, EEPROMsender send)
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
    return send(f, bReq, bRep, VEXOEEPROMcallback).arr != nullptr;
}

void VEXOwriteEEPROM(FILE* f, byte adrs, byte value)
{
    VEXOreply rep{};
    writeEEPROM(f, adrs, value, true, &rep, AVRsendRequest);
}

bool VEXOwriteEEPROMtry(FILE* f, byte adrs, byte value, VEXOreply* rep)
{
    return writeEEPROM(f, adrs, value, false, rep, AVRsendRequestTry);
}
