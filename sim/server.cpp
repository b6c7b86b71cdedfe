// The simulated board's handle: its life, and copies of what it has seen.
#include <algorithm>

#include <unistd.h>

#include "sim/server_impl.h"

SimServer* simServerNew(const SimConfig& cfg)
{
    auto* s = new SimServer;
    s->cfg = cfg;
    simBoardInit(&s->board, cfg.board);
    s->start = std::chrono::steady_clock::now();
    return s;
}

SimServer* simServerRef(SimServer* s)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->refs++;
    return s;
}

void simServerUnref(SimServer* s)
{
    if (s == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        if (--s->refs > 0)
            return;
    }
    simServerStop(s);
    delete s;
}

double simServerNow(const SimServer* s)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - s->start).count();
}

bool simServerStart(SimServer* s)
{
    if (s->running)
        return true;
    if (!simOpenPty(s))
        return false;
    s->start = std::chrono::steady_clock::now();
    s->running = true;
    s->thread = std::thread(simServe, s);
    return true;
}

void simServerStop(SimServer* s)
{
    if (s->running.exchange(false) && s->thread.joinable())
        s->thread.join();
    if (s->master >= 0)
        close(s->master);
    if (s->slave >= 0)
        close(s->slave);
    s->master = s->slave = -1;
}

// A copy of one member, taken under the lock.
template <typename T> static T copied(const SimServer* s, T SimServer::*member)
{
    std::lock_guard<std::mutex> lock(s->mu);
    return s->*member;
}

std::string simServerSlavePath(const SimServer* s) { return s->slavePath; }

int simServerSlaveFd(const SimServer* s) { return s->slave; }

SimFaults simServerFaults(const SimServer* s) { return copied(s, &SimServer::faults); }

std::vector<SimRequest> simRequests(const SimServer* s) { return copied(s, &SimServer::requests); }

std::vector<SimRequest> simRequestsSince(const SimServer* s, long* seen)
{
    std::lock_guard<std::mutex> lock(s->mu);
    const long held = static_cast<long>(s->requests.size());
    const long first = s->requestsTotal - held; // sequence number of requests[0]
    const long from = std::min(std::max(*seen, first), s->requestsTotal) - first;
    *seen = s->requestsTotal;
    return std::vector<SimRequest>(s->requests.begin() + from, s->requests.end());
}

long simRequestsTotal(const SimServer* s) { return copied(s, &SimServer::requestsTotal); }

void simClearRequests(SimServer* s)
{
    std::lock_guard<std::mutex> lock(s->mu);
    s->requests.clear();
}

long simHostBytes(const SimServer* s) { return copied(s, &SimServer::hostBytes); }

std::vector<double> simReplyEnds(const SimServer* s) { return copied(s, &SimServer::replyEnds); }

long simRepliesSent(const SimServer* s) { return copied(s, &SimServer::repliesSent); }

SimBoard simBoardSnapshot(const SimServer* s) { return copied(s, &SimServer::board); }

bool simWaitRequests(SimServer* s, int timeoutMs, bool (*pred)(const std::vector<SimRequest>&, void*), void* data)
{
    std::unique_lock<std::mutex> lock(s->mu);
    return s->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(s->requests, data); });
}

long simEepromFailures(const SimServer* s, int* lastErrno)
{
    std::lock_guard<std::mutex> lock(s->mu);
    *lastErrno = s->board.eepromWriteErrno;
    return s->board.eepromWriteFailures;
}

bool simWaitRequestsTotal(SimServer* s, long total, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(s->mu);
    return s->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s->requestsTotal >= total; });
}

bool simWaitRepliesSent(SimServer* s, long total, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(s->mu);
    return s->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return s->repliesSent >= total; });
}
