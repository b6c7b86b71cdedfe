// The readings of each second as a record for NUT's dummy-ups driver.
#include "avr/vexo_ups.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "avr/vexo_field.h"

VEXOups vexoUps;

// What clients show as maker and model; NUT keeps driver.* for dummy-ups itself.
constexpr const char* UPS_MFR = "vexo";
constexpr const char* UPS_MODEL = "battery back-up board";

size_t VEXOupsRecord(const vexoInfo& info, const VEXOupsView& view, char* buf, size_t size)
{
    const byte flags = info.flags1;
    const bool onBattery = (flags & vexoFlag1::onbatt) != 0;
    const float volts = info.battV;
    const std::int32_t microamps = info.battI;
    const float fahrenheit = info.tempF;
    const bool low = onBattery && view.lowVolts > 0 && volts <= view.lowVolts;
    const char* status = onBattery ? (low ? "OB DISCHRG LB" : "OB DISCHRG") : (view.charging ? "OL CHRG" : "OL");
    const char* charger = onBattery ? "discharging" : (view.charging ? "charging" : "resting");
    int n = snprintf(buf, size,
                     "device.mfr: %s\ndevice.model: %s\nups.mfr: %s\nups.model: %s\nups.firmware: vexo %s\n"
                     "ups.status: %s\nbattery.charger.status: %s\nbattery.voltage: %.2f\nbattery.current: %.3f\n"
                     "ups.temperature: %.1f\n",
                     UPS_MFR, UPS_MODEL, UPS_MFR, UPS_MODEL, VERSION, status, charger, static_cast<double>(volts),
                     microamps / 1e6, (static_cast<double>(fahrenheit) - 32) * 5 / 9);
    if (n < 0 || static_cast<size_t>(n) >= size)
        return 0;
    size_t len = static_cast<size_t>(n);
    if (view.lowVolts > 0) {
        n = snprintf(buf + len, size - len, "battery.voltage.low: %.2f\n", static_cast<double>(view.lowVolts));
        if (n < 0 || static_cast<size_t>(n) >= size - len)
            return 0;
        len += static_cast<size_t>(n);
    }
    // The driver applies what it has read and comes back a cycle later.
    n = snprintf(buf + len, size - len, "TIMER 0\n");
    if (n < 0 || static_cast<size_t>(n) >= size - len)
        return 0;
    return len + static_cast<size_t>(n);
}

void VEXOupsSetLowVolts(float volts) { vexoUps.lowVolts = volts > 0 ? volts : 0; }

// The directory part of path in buf ("." for none).
static const char* directoryOf(const char* path, char* buf, size_t size)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return ".";
    const size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (n >= size)
        return nullptr;
    std::memcpy(buf, path, n);
    buf[n] = '\0';
    return buf;
}

int VEXOupsCheckPath(const char* path)
{
    struct stat st {};
    if (path[0] == '\0') {
        fprintf(stderr, "vexo: --ups-file needs the path of a named pipe\n");
        return 2;
    }
    if (stat(path, &st) == 0) {
        if (S_ISFIFO(st.st_mode))
            return 0;
        fprintf(stderr, "vexo: --ups-file %s: not a named pipe (remove it, and vexo makes one)\n", path);
        return 2;
    }
    if (errno != ENOENT) {
        fprintf(stderr, "vexo: --ups-file %s: %s\n", path, strerror(errno));
        return 2;
    }
    std::array<char, 4096> dirBuf{};
    const char* dir = directoryOf(path, dirBuf.data(), dirBuf.size());
    const char* why = nullptr;
    if (dir == nullptr)
        why = strerror(ENAMETOOLONG);
    else if (stat(dir, &st) != 0 || access(dir, W_OK | X_OK) != 0)
        why = strerror(errno);
    else if (!S_ISDIR(st.st_mode))
        why = strerror(ENOTDIR);
    if (why == nullptr)
        return 0;
    fprintf(stderr, "vexo: --ups-file %s: %s\n", path, why);
    return 2;
}

// Logs a failure once: the same one again says nothing.
static void failed(int err)
{
    if (err == vexoUps.failing)
        return;
    vexoUps.failing = err;
    if (err == ENXIO)
        VEXOlog(LOG_WARNING, "NUT state %s: no driver reads it", vexoUps.path);
    else if (err == EINVAL)
        VEXOlog(LOG_WARNING, "NUT state %s: not a named pipe", vexoUps.path);
    else
        VEXOlog(LOG_WARNING, "NUT state %s: %s", vexoUps.path, strerror(err));
}

// Makes the pipe when it is missing: readable by the group nut where there
// is one (the driver's account), else by all.
static void makePipe()
{
    vexoUps.checked = true;
    struct stat st {};
    if (stat(vexoUps.path, &st) == 0)
        return;
    // Made under another name and renamed into place, so that the driver
    // never finds it before its group and mode are set.
    std::array<char, 4096> made{};
    const int n = snprintf(made.data(), made.size(), "%s.new", vexoUps.path);
    if (n <= 0 || static_cast<size_t>(n) >= made.size()) {
        failed(ENAMETOOLONG);
        return;
    }
    unlink(made.data());
    if (mkfifo(made.data(), 0600) != 0) {
        failed(errno);
        return;
    }
    group g{};
    group* found = nullptr;
    std::array<char, 1024> buf{};
    if (getgrnam_r("nut", &g, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        chown(made.data(), static_cast<uid_t>(-1), g.gr_gid) == 0)
        chmod(made.data(), 0640);
    else
        chmod(made.data(), 0644);
    if (rename(made.data(), vexoUps.path) != 0) {
        failed(errno);
        unlink(made.data());
    }
}

// Opens the pipe's write end without waiting: fails (ENXIO) while no driver reads it.
static bool openPipe()
{
    vexoUps.fd = open(vexoUps.path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (vexoUps.fd < 0) {
        if (errno == ENOENT)
            vexoUps.checked = false; // removed: made again next second
        failed(errno);
        return false;
    }
    struct stat st {};
    if (fstat(vexoUps.fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        close(vexoUps.fd); // replaced by another kind of file: never written
        vexoUps.fd = -1;
        failed(EINVAL);
        return false;
    }
    VEXOlog(LOG_INFO, "NUT state %s: the driver reads it", vexoUps.path);
    vexoUps.failing = 0;
    return true;
}

// One write; a driver that has gone raises SIGPIPE, which is held and taken
// back here rather than ending the supervisor.
static ssize_t writeHeld(int fd, const char* buf, size_t n)
{
    sigset_t pipeSet;
    sigset_t old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipeSet, &old);
    const ssize_t w = write(fd, buf, n);
    const int err = errno;
    if (w < 0 && err == EPIPE) {
        const timespec now{};
        sigtimedwait(&pipeSet, nullptr, &now);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return w;
}

void VEXOupsUpdate(const VEXOchargeState* state, const VEXOreply* rep, time_t t)
{
    if (vexoUps.path == nullptr)
        return;
    if (!vexoUps.checked)
        makePipe();
    // The second's record is the telemetry datagram's, built as it is.
    if (t == state->last_t || state->numSamples == 0)
        return;
    const vexoInfo info = VEXOinfo_Make(state, rep);
    VEXOupsView view;
    view.charging = (info.flags1 & vexoFlag1::onbatt) == 0 && (info.flags1 & (vexoFlag1::pwm1en | vexoFlag1::pwm2en));
    view.lowVolts = vexoUps.lowVolts;
    std::array<char, VEXO_UPS_RECORD_MAX> buf;
    const size_t n = VEXOupsRecord(info, view, buf.data(), buf.size());
    if (n == 0 || (vexoUps.fd < 0 && !openPipe()))
        return;
    int unread = 0;
    if (ioctl(vexoUps.fd, FIONREAD, &unread) == 0 && unread > 0)
        return; // the driver has not taken the last record yet: this one would only queue
    if (writeHeld(vexoUps.fd, buf.data(), n) == static_cast<ssize_t>(n))
        return;
    if (errno == EAGAIN)
        return;
    const int err = errno == EPIPE ? ENXIO : errno; // the driver stopped reading
    close(vexoUps.fd);
    vexoUps.fd = -1;
    failed(err);
}
