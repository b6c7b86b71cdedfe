#include "avr/avr.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include <termios.h>

#include "lib/file.h"
#include "lib/serial.h"
#include "lib/term.h"

void AVRrun(const char* ser, void* data, int argc, char** argv, AVRsetupFunc setup, AVRinitFunc init, AVRoptFunc opt,
            AVRprintFunc print, AVRtaskFunc task, AVRcheckFunc callback)
{
    FILE* f = fileOpenOrDie(ser, "r+");
    fileSetBlocking(fileno(f), 0);
    struct termios saved {};
    termConfigRaw(fileno(f), &saved);
    _AVRrun(f, data, argc, argv, setup, init, opt, print, task, callback);
    tcsetattr(fileno(f), TCSANOW, &saved);
    fileClose(f);
}

void _AVRrun(FILE* f, void* data, int argc, char** argv, AVRsetupFunc setup, AVRinitFunc init, AVRoptFunc opt,
             AVRprintFunc print, AVRtaskFunc task, AVRcheckFunc callback)
{
    std::array<byte, AVR_BUFFER_SIZE> req{};
    std::array<byte, AVR_BUFFER_SIZE> rep{};
    ByteArrayRef bReq = BAR(req.data(), AVR_BUFFER_SIZE);
    // Receives always go through a view of the whole buffer; bRep is the packet.
    const ByteArrayRef repBuf = BAR(rep.data(), AVR_BUFFER_SIZE);
    int loops = 0;

    if (setup != nullptr)
        setup(f, data);
    ByteArrayRef bRep = AVRreplyGet(f, repBuf);
    bReq.len = init(bRep, bReq);
    int todo = opt(f, bReq, data, &loops, argc, argv);
    if ((todo & ~1) != 0)
        todo |= task(f, todo, bReq, bRep, data);
    if ((todo & 1) != 0)
        AVRsendRequest(f, bReq, repBuf, callback);
    if (loops != 0) {
        for (int i = 0; i < loops; i++)
            bRep = AVRreplyGet(f, repBuf);
        print(bRep, data);
    }
}

// How replies are received; see AVRsetMinReply and AVRwaitOutNoise.
struct AVRlinkRules {
    int minReply = 1;
    bool waitOutNoise = false;
    AVRlineFunc lineEvent = nullptr;
    void* data = nullptr;
    bool quiet = false; // a spell without good packets is going on
    AVRfailFunc failed = nullptr;
    void* failedData = nullptr;
};
static AVRlinkRules linkRules;

void AVRsetMinReply(int len) { linkRules.minReply = len; }

void AVRwaitOutNoise(AVRlineFunc fn, void* data)
{
    linkRules.waitOutNoise = true;
    linkRules.lineEvent = fn;
    linkRules.data = data;
}

void AVRonLinkFailure(AVRfailFunc fn, void* data)
{
    linkRules.failed = fn;
    linkRules.failedData = data;
}

// Ends the program on a dead link; msg ends in a line end.
[[noreturn]] static void linkFailed(const char* msg)
{
    printf("%s", msg);
    if (linkRules.failed != nullptr) {
        char text[64];
        snprintf(text, sizeof text, "%.*s", static_cast<int>(strcspn(msg, "\n")), msg);
        linkRules.failed(text, linkRules.failedData);
    }
    exit(AVR_EXIT_LINK);
}

static void lineQuiet(bool quiet)
{
    if (linkRules.quiet == quiet)
        return;
    linkRules.quiet = quiet;
    if (linkRules.lineEvent != nullptr)
        linkRules.lineEvent(quiet ? 1 : 0, linkRules.data);
}

// The next good reply, or the end of the program.
static ByteArrayRef receiveReply(FILE* f, ByteArrayRef buf)
{
    const FileRxRules rules{linkRules.minReply, FILE_NO_PACKET_MS};
    for (;;) {
        FileRxEnd why;
        const ByteArrayRef b = filePacketReceive(f, buf, rules, &why);
        if (b.arr != nullptr) {
            lineQuiet(false);
            return b;
        }
        if (why != FILE_RX_NO_PACKET || !linkRules.waitOutNoise)
            linkFailed("Failed to communicate with AVR\n");
        lineQuiet(true);
    }
}

ByteArrayRef AVRreplyGet(FILE* f, ByteArrayRef pReply) { return receiveReply(f, pReply); }

ByteArrayRef AVRreplyGetFresh(FILE* f, ByteArrayRef pReply)
{
    const ByteArrayRef b = receiveReply(f, pReply);
    if (fileInputHeld(f) == 0)
        return b;
    fileFlushInput(f);
    return receiveReply(f, pReply);
}

// A record already waiting cannot show a request about to go out.
static void sendFresh(FILE* f, ByteArrayRef req)
{
    fileFlushInput(f);
    serialFramedSend(f, req);
}

ByteArrayRef AVRsendRequestTry(FILE* f, ByteArrayRef req, ByteArrayRef ret, AVRcheckFunc callback)
{
    ByteArrayRef_Seal(req);
    sendFresh(f, req);
    int retries = AVR_RETRIES;
    int replies_till_retry = AVR_REPLIES_TILL_RETRY;
    while (retries-- != 0) {
        const ByteArrayRef b = receiveReply(f, ret);
        const int retry = callback(req, ret);
        if (retry == 0)
            return b;
        if (--replies_till_retry == 0) {
            sendFresh(f, req);
            replies_till_retry = AVR_REPLIES_TILL_RETRY;
        }
    }
    return BAR(nullptr, 0);
}

ByteArrayRef AVRsendRequest(FILE* f, ByteArrayRef req, ByteArrayRef ret, AVRcheckFunc callback)
{
    const ByteArrayRef b = AVRsendRequestTry(f, req, ret, callback);
    if (b.arr == nullptr)
        linkFailed("Failed to change AVR state\n");
    return b;
}
