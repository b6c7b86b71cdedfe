// The command line: option table and option processor.
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

#include <sys/stat.h>
#include <unistd.h>

#include "avr.h"
#include "net.h"
#include "vexo.h"
#include "vexo_field.h"

char IPADRS[128];

const char* VEXOdevicePath()
{
    const char* dev = getenv("VEXO_DEVICE");
    return dev != nullptr && dev[0] != '\0' ? dev : VEXO_DEFAULT_DEVICE;
}

// Option indices, in table order.
enum VEXOoption {
    OPT_PWM1,
    OPT_PWM2,
    OPT_OFFSET,
    OPT_OPAMP,
    OPT_BUCK,
    OPT_LED,
    OPT_PWMLO,
    OPT_PWMT,
    OPT_HELP,
    OPT_SLEEP,
    OPT_EER,
    OPT_EEW,
    OPT_EEVAL,
    OPT_CHARGE,
    OPT_LOG,
    OPT_ON,
    OPT_OFF,
    OPT_VERSION,
    OPT_SHUTDOWN,
    OPT_EVENT_CMD,
    OPT_LISTEN,
    OPT_ALLOW,
};

// Each entry reports its index + 1: with equal values the parser would take
// the first of several matching prefixes instead of refusing the ambiguity.
static const std::array<option, 23> longOptions{{
    {"pwm1", required_argument, nullptr, 1},
    {"pwm2", required_argument, nullptr, 2},
    {"offset", required_argument, nullptr, 3},
    {"opamp", required_argument, nullptr, 4},
    {"buck", required_argument, nullptr, 5},
    {"led", required_argument, nullptr, 6},
    {"pwmlo", required_argument, nullptr, 7},
    {"pwmt", required_argument, nullptr, 8},
    {"help", no_argument, nullptr, 9},
    {"sleep", required_argument, nullptr, 10},
    {"eer", required_argument, nullptr, 11},
    {"eew", required_argument, nullptr, 12},
    {"eeval", required_argument, nullptr, 13},
    {"charge", required_argument, nullptr, 14},
    {"log", required_argument, nullptr, 15},
    {"on", required_argument, nullptr, 16},
    {"off", required_argument, nullptr, 17},
    {"version", no_argument, nullptr, 18},
    {"shutdown", required_argument, nullptr, 19},
    {"event-cmd", required_argument, nullptr, 20},
    {"listen", required_argument, nullptr, 21},
    {"allow", required_argument, nullptr, 22},
    {nullptr, 0, nullptr, 0},
}};

static const char helpText[] =
    "Usage options:\n"
    "  --pwm1 [0|1]    disable or enable PWM1\n"
    "  --pwm2 [0|1]    disable or enable PWN2\n"
    "  --offset [0|1]  disable or enable offset\n"
    "  --opamp [0|1]   disable or enable op amp\n"
    "  --buck [0|1]    disable or enable buck\n"
    "  --led [0|1]     disable or enable led\n"
    "  --pwmlo [0|1]   set PWM low time\n"
    "  --pwmt [0|1]    set PWM period\n"
    "  --sleep <time>  go to sleep for number of seconds\n"
    "  --help          get this help message\n"
    "  --charge <I>    maintain battery charging with specified current\n"
    "                  NOTE: most other options will be ignored with this one\n"
    "                  until charge algorithm is terminated by hitting ENTER\n"
    "  --on <seconds>  number of seconds to charge battery at I each period\n"
    "                  The default value is 60.\n"
    "                  NOTE: This option must come BEFORE the charge option\n"
    "  --off <seconds> number of seconds to not charge battery each period\n"
    "                  The default value is 60.\n"
    "                  NOTE: This option must come BEFORE the charge option\n"
    "  --log <ip>      send 1Hz battery information packets to give IP address\n"
    "                  NOTE: This option must come BEFORE the charge option\n"
    "  --shutdown <s>  Automatically shut down s seconds after power failure\n"
    "                  NOTE: This option must come BEFORE the charge option\n"
    "  --event-cmd <path> run path EVENT [DETAIL] on power-lost, power-back,\n"
    "                  shutdown-pending, shutdown-cancelled, shutdown, link-failed, started\n"
    "                  NOTE: This option must come BEFORE the charge option\n"
    "  --listen <ip>   take UDP commands on this local address only (default: all)\n"
    "                  NOTE: This option must come BEFORE the charge option\n"
    "  --allow <nets>  take UDP commands only from these addresses or prefixes,\n"
    "                  comma-separated, e.g. 192.168.1.0/24,10.0.0.5\n"
    "                  NOTE: This option must come BEFORE the charge option\n";

// The number in text, as atoi reads it, but defined for every input.
static int number(const char* text) { return static_cast<int>(strtol(text, nullptr, 10)); }

// "on"/"off" of an active-high bit, "off"/"on" of an active-low one.
static const char* lower(int on) { return on ? "on" : "off"; }

// Runs --charge: sends the pending request with the charging outputs, then
// starts the supervisor unless the current is out of range.
static void chargeOption(FILE* file, ByteArrayRef bReq, VEXOreply* pkt, word ma, int on, int off, int shutdelay)
{
    VEXOrequest req = VEXOrequest_Get(bReq);
    req.outputs = VEXOsetBit(req.outputs, opamp | buckOff | offsetOff, 1);
    VEXOrequest_Put(bReq, req);
    AVRsendRequest(file, bReq, BAR(pkt, sizeof *pkt), VEXOcallback);
    if (ma > VEXO_CHARGE_MAX_MA || ma < VEXO_CHARGE_MIN_MA) {
        printf("Can only charge the battery with 60mA < I < 400mA\n");
        return;
    }
    VEXOBatteryCharge(file, ma * 1000, on, off, shutdelay);
}

// The checks of VEXOcheckOptions on a copy of argv, which the parser permutes.
static int checkOptions(int argc, char** argv)
{
    VEXOfield scratch;
    opterr = 0;
    optind = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions.data(), nullptr)) != -1) {
        const char* arg = optarg;
        if (c == OPT_LISTEN + 1) {
            if (!VEXOparseListen(arg, &scratch)) {
                fprintf(stderr, "vexo: --listen needs an IPv4 address (a.b.c.d), not '%s'\n", arg);
                return 2;
            }
            const int fd = netUDPbind(0, scratch.listen.s_addr); // one of this host's?
            if (fd < 0) {
                fprintf(stderr, "vexo: --listen %s: %s\n", arg, strerror(errno));
                return 2;
            }
            close(fd);
        } else if (c == OPT_ALLOW + 1 && !VEXOparseAllow(arg, &scratch)) {
            fprintf(stderr,
                    "vexo: --allow needs IPv4 addresses or prefixes (a.b.c.d or a.b.c.d/n), comma-separated, "
                    "at most %d, not '%s'\n",
                    VEXO_ALLOW_MAX, arg);
            return 2;
        } else if (c == OPT_EVENT_CMD + 1) {
            struct stat st {};
            if (stat(arg, &st) != 0 || access(arg, X_OK) != 0) {
                fprintf(stderr, "vexo: --event-cmd %s: %s\n", arg, strerror(errno));
                return 2;
            }
            if (!S_ISREG(st.st_mode)) {
                fprintf(stderr, "vexo: --event-cmd %s: not an executable file\n", arg);
                return 2;
            }
        }
    }
    return 0;
}

int VEXOcheckOptions(int argc, char** argv)
{
    if (argc < 1)
        return 0;
    auto** copy = static_cast<char**>(malloc(sizeof(char*) * (static_cast<size_t>(argc) + 1)));
    if (copy == nullptr)
        return 0; // the options are checked again as they are carried out
    memcpy(copy, argv, sizeof(char*) * (static_cast<size_t>(argc) + 1));
    const int rc = checkOptions(argc, copy);
    free(copy);
    optind = 0;
    return rc;
}

int VEXOprocessOptions(FILE* file, ByteArrayRef bReq, void*, int* loops, int argc, char** argv)
{
    int doSomething = 0;
    int on = 60;
    int off = 60;
    int shutdelay = -1;
    word val = 0;
    bool haveVal = false; // --eew without --eeval or --eer before it writes nothing
    VEXOreply pkt{};

    opterr = 0;
    optind = 0; // full re-initialisation, so the processor may be called again
    *loops = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions.data(), nullptr)) != -1) {
        if (c < 1 || c > OPT_ALLOW + 1)
            continue; // unknown, ambiguous, missing argument, short option
        const int index = c - 1;
        VEXOrequest req = VEXOrequest_Get(bReq);
        const char* arg = optarg;
        switch (index) {
        case OPT_PWM1:
            req.outputs = VEXOsetBit(req.outputs, pwm1en, number(arg) & 1);
            printf("PWM1: %s\n", lower(VEXObit(req.outputs, pwm1en)));
            doSomething |= 1;
            break;
        case OPT_PWM2:
            req.outputs = VEXOsetBit(req.outputs, pwm2en, number(arg) & 1);
            printf("PWM2: %s\n", lower(VEXObit(req.outputs, pwm2en)));
            doSomething |= 1;
            break;
        case OPT_OFFSET:
            req.outputs = VEXOsetBit(req.outputs, offsetOff, number(arg) == 0);
            printf("Offset: %s\n", lower(!VEXObit(req.outputs, offsetOff)));
            doSomething |= 1;
            break;
        case OPT_OPAMP:
            req.outputs = VEXOsetBit(req.outputs, opamp, number(arg) & 1);
            printf("OPAMP: %s\n", lower(VEXObit(req.outputs, opamp)));
            doSomething |= 1;
            break;
        case OPT_BUCK:
            req.outputs = VEXOsetBit(req.outputs, buckOff, number(arg) == 0);
            printf("Buck: %s\n", lower(!VEXObit(req.outputs, buckOff)));
            doSomething |= 1;
            break;
        case OPT_LED:
            req.outputs = VEXOsetBit(req.outputs, ledOff, number(arg) == 0);
            printf("LED: %s\n", lower(!VEXObit(req.outputs, ledOff)));
            doSomething |= 1;
            break;
        case OPT_PWMLO:
            req.pwm_lo = static_cast<word>(number(arg));
            if (req.pwm_t < req.pwm_lo)
                req.pwm_t = req.pwm_lo;
            printf("PWM LO= %d\n", req.pwm_lo);
            doSomething |= 1;
            break;
        case OPT_PWMT:
            req.pwm_t = static_cast<word>(number(arg));
            printf("PWM T= %d\n", req.pwm_t);
            doSomething |= 1;
            break;
        case OPT_HELP: printf("%s", helpText); break;
        case OPT_SLEEP:
            req.alarm = static_cast<dword>(number(arg));
            printf("Sleeping for %d seconds (approximately)\n", static_cast<int>(req.alarm));
            doSomething |= 1;
            break;
        case OPT_EER: {
            const byte adrs = static_cast<byte>(number(arg) & 0xFF);
            const byte b = VEXOreadEEPROM(file, adrs, &pkt);
            val = b;
            haveVal = true;
            printf("%02X:%02X\n", adrs, b);
            break;
        }
        case OPT_EEW: {
            const byte adrs = static_cast<byte>(number(arg) & 0xFF);
            if (!haveVal) {
                printf("No value to write: give --eeval or --eer before --eew\n");
                break;
            }
            printf("Writing %02X to %02X\n", val & 0xFF, adrs);
            VEXOwriteEEPROM(file, adrs, static_cast<byte>(val & 0xFF));
            break;
        }
        case OPT_EEVAL:
            val = static_cast<word>(number(arg));
            haveVal = true;
            break;
        case OPT_CHARGE:
            val = static_cast<word>(number(arg));
            haveVal = true;
            chargeOption(file, bReq, &pkt, val, on, off, shutdelay);
            continue; // the request was edited in place
        case OPT_LOG:
            strncpy(IPADRS, arg, sizeof IPADRS - 1);
            IPADRS[sizeof IPADRS - 1] = '\0';
            printf("Logging to: %s\n", IPADRS);
            break;
        case OPT_ON: on = number(arg); break;
        case OPT_OFF: off = number(arg); break;
        case OPT_VERSION: printf("vexo, version %s\n", VERSION); break;
        case OPT_SHUTDOWN:
            shutdelay = number(arg);
            printf("Automatic shutdown %d seconds after power failure\n", shutdelay);
            break;
        // Checked by VEXOcheckOptions before the device was opened.
        case OPT_EVENT_CMD: vexoField.eventCmd = arg; break;
        case OPT_LISTEN: VEXOparseListen(arg, &vexoField); break;
        case OPT_ALLOW: VEXOparseAllow(arg, &vexoField); break;
        default: break;
        }
        VEXOrequest_Put(bReq, req);
    }
    if ((doSomething & 1) == 0 && *loops == 0)
        *loops = 1;
    return doSomething;
}
