// Round trips between two threads: a bare mutex-and-condition ping-pong, a
// synchronous send between two services, and a routed post answered through
// a callback. Prints the median of each (per round trip) and the ratios to
// the ping-pong, all measured in the same run.

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "kivo/base/platform/linux/__platform_kernel.h"
#include "kivo/service/service.h"

using kivo::Message;
using kivo::MsgRouter;
using kivo::Service;
using kivo::Var;

namespace {

int g_batches = 21;
int g_per_batch = 2000;

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// ---- bare ping-pong

struct PingPong {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    int turn = 0;  // 0: pinger, 1: ponger, 2: stop
};

void* Ponger(void* arg)
{
    PingPong* p = static_cast<PingPong*>(arg);
    pthread_mutex_lock(&p->mutex);
    for (;;) {
        while (p->turn == 0)
            pthread_cond_wait(&p->cond, &p->mutex);
        if (p->turn == 2)
            break;
        p->turn = 0;
        pthread_cond_broadcast(&p->cond);
    }
    pthread_mutex_unlock(&p->mutex);
    return 0;
}

void PongerEntry(void* arg)
{
    Ponger(arg);
}

// With kivo_threads set, both sides run on kivo::Thread, with the scheduling
// the service threads get (round-robin real time when run as root), so the
// comparison isolates the runtime's own cost.
bool g_kivo_threads = false;

std::vector<double> PingLoop(PingPong& p);

void PingerEntry(void* arg)
{
    std::pair<PingPong*, std::vector<double>*>* a = static_cast<std::pair<PingPong*, std::vector<double>*>*>(arg);
    *a->second = PingLoop(*a->first);
}

std::vector<double> BenchPingPong()
{
    PingPong p;
    std::vector<double> per;
    if (g_kivo_threads) {
        kivo::Thread pong(kivo::Function0<void>(kivo::Bind(&PongerEntry, static_cast<void*>(&p))), 0, 0, "pong");
        std::pair<PingPong*, std::vector<double>*> a(&p, &per);
        kivo::Thread ping(kivo::Function0<void>(kivo::Bind(&PingerEntry, static_cast<void*>(&a))), 0, 0, "ping");
        ping.Join();
        pong.Join();
        return per;
    }
    pthread_t t;
    pthread_create(&t, 0, &Ponger, &p);
    std::pair<PingPong*, std::vector<double>*> a(&p, &per);
    PingerEntry(&a);
    pthread_join(t, 0);
    return per;
}

std::vector<double> PingLoop(PingPong& p)
{
    std::vector<double> per;
    for (int b = 0; b < g_batches; ++b) {
        int64_t start = kivo_tick_ns();
        for (int i = 0; i < g_per_batch; ++i) {
            pthread_mutex_lock(&p.mutex);
            p.turn = 1;
            pthread_cond_broadcast(&p.cond);
            while (p.turn != 0)
                pthread_cond_wait(&p.cond, &p.mutex);
            pthread_mutex_unlock(&p.mutex);
        }
        per.push_back(double(kivo_tick_ns() - start) / g_per_batch);
    }
    pthread_mutex_lock(&p.mutex);
    p.turn = 2;
    pthread_cond_broadcast(&p.cond);
    pthread_mutex_unlock(&p.mutex);
    return per;
}

// ---- services

void Echo(Message& m)
{
    m.Back(m.value);
}

const Service::ThreadParam kWorker = {0, 0, "bench", 1};

// Runs fn on the thread of a one-thread service (so that the client is a
// service of its own, as in the application) and waits for it.
struct Client {
    Service svc;
    std::vector<double> result;
    void (*body)(Client*);
    Service* target;
};

void ClientEntry(void* arg)
{
    Client* c = static_cast<Client*>(arg);
    c->svc.Start();
    c->body(c);
}

void RunClient(Client* c)
{
    kivo::Thread t(kivo::Function0<void>(kivo::Bind(&ClientEntry, static_cast<void*>(c))), 0, 0, "bench client");
    t.Join();
}

void SendBody(Client* c)
{
    for (int b = 0; b < g_batches; ++b) {
        int64_t start = kivo_tick_ns();
        for (int i = 0; i < g_per_batch; ++i) {
            Message m{Message::Value(Var(i))};
            Message::Value ret;
            if (!c->target->MessageSend(&Echo, m, &ret, KIVO_WAIT_FOREVER)) {
                fprintf(stderr, "send failed\n");
                exit(1);
            }
        }
        c->result.push_back(double(kivo_tick_ns() - start) / g_per_batch);
    }
}

MsgRouter* g_echo_router = 0;

void PostBody(Client* c)
{
    MsgRouter poster;
    int answered = 0;
    MsgRouter::Handler on_answer = [&answered](Message&) {
        ++answered;
        Service::Current()->Break();
    };
    for (int b = 0; b < g_batches; ++b) {
        int64_t start = kivo_tick_ns();
        for (int i = 0; i < g_per_batch; ++i) {
            int before = answered;
            if (!poster.PostPath("bench.echo", Message::Value(Var(i)), on_answer)) {
                fprintf(stderr, "post failed\n");
                exit(1);
            }
            while (answered == before)
                c->svc.Run();
        }
        c->result.push_back(double(kivo_tick_ns() - start) / g_per_batch);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1)
        g_per_batch = atoi(argv[1]) > 0 ? atoi(argv[1]) : g_per_batch;

    Service target("bench_target", 64, kWorker);
    Service::SendFunction(&target, [](Message&) {
        g_echo_router = new MsgRouter;
        g_echo_router->Connect("bench.echo", [](Message& m) { m.Back(m.value); }, 0);
    }, Message::Value());

    // Warm up every path once, then measure.
    std::vector<double> plain = BenchPingPong();
    plain = BenchPingPong();
    g_kivo_threads = true;
    std::vector<double> ping = BenchPingPong();

    Client* sc = new Client{Service("", 64), {}, &SendBody, &target};
    RunClient(sc);
    Client* pc = new Client{Service("", 64), {}, &PostBody, &target};
    RunClient(pc);
    std::vector<double> ping2 = BenchPingPong();

    double ping_med = Median(ping), ping2_med = Median(ping2);
    double base = std::min(ping_med, ping2_med);
    double send_med = Median(sc->result), post_med = Median(pc->result);
    printf("round trips: %d batches of %d\n", g_batches, g_per_batch);
    printf("bare ping-pong, plain pthreads:  median %.0f ns (other scheduling; for reference)\n", Median(plain));
    printf("bare mutex/condition ping-pong: median %.0f ns (kivo threads; before %.0f, after %.0f)\n", base, ping_med,
           ping2_med);
    printf("synchronous send:               median %.0f ns, ratio %.2f\n", send_med, send_med / base);
    printf("post answered by callback:      median %.0f ns, ratio %.2f\n", post_med, post_med / base);
    printf("send vs plain-pthread ping-pong: ratio %.2f\n", send_med / Median(plain));
    printf("target (send within 2x ping-pong on kivo threads): %s\n", send_med <= 2.0 * base ? "met" : "missed");

    Service::SendFunction(&target, [](Message&) { delete g_echo_router; }, Message::Value());
    delete sc;
    delete pc;
    return 0;
}
