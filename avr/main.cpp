// vexo: status, outputs, EEPROM and charging supervision of the battery back-up board.
#include "lib/Process.h"
#include "avr/avr.h"
#include "lib/file.h"
#include "avr/vexo.h"
#include "avr/vexo_control.h"

int main(int argc, char** argv)
{
    // Started with a standard stream closed, the port would become that
    // descriptor: the report would go down the line, and the supervisor
    // would lose the port when it detaches.
    processOpenStandardStreams();
    if (const int bad = VEXOcheckOptions(argc, argv); bad != 0)
        return bad;
    AVRsetMinReply(VEXO_REPLY_LEN);
    // A device a running supervisor holds (or this user may not open): the
    // work goes through the supervisor.
    VEXOcontrolArgs args{argc, argv};
    fileOnHeld(VEXOcontrolHandOver, &args);
    AVRrun(VEXOdevicePath(), nullptr, argc, argv, nullptr, VEXOrequestInitFromReply, VEXOprocessOptions,
           VEXOreplyPacket_Print, VEXOtask2Do, VEXOcallback);
    return 0;
}
