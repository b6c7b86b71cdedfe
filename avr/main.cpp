// vexo: status, outputs, EEPROM and charging supervision of the battery back-up board.
#include "avr.h"
#include "vexo.h"

int main(int argc, char** argv)
{
    AVRrun(VEXOdevicePath(), nullptr, argc, argv, nullptr, VEXOrequestInitFromReply, VEXOprocessOptions,
           VEXOreplyPacket_Print, VEXOtask2Do, VEXOcallback);
    return 0;
}
