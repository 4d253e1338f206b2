// bench_socket_client: drives control-socket servers with one request and measures them.
//
//   bench_socket_client latency [--requests N] [--warmup N] [--request TEXT] [--p50-goal R]
//                               NAME=PATH[#REQUEST]...
//       one connection per server; requests go one at a time, alternating between the servers
//       in batches so that both see the same machine load; prints p50 and p99 round trips per
//       server and their ratios to the first server (the floor), and whether each p50 is
//       within R times the floor's. A target's #REQUEST replaces the --request text for it, so
//       several commands of one server can be set against each other.
//   bench_socket_client throughput [--clients C] [--seconds S] [--request TEXT] NAME=PATH...
//       C connections per server, each sending its next request as soon as its reply arrived;
//       the servers take turns in short slices; prints requests per second per server and the
//       ratio to the first.
//   bench_socket_client probe [--request TEXT] PATH
//       exits 0 once PATH answers one request, 1 otherwise.
//
// The servers follow the control socket's framing: one request per send, one reply per receive.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "core/unix_connect.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Server {
    std::string name;
    std::string path;
    std::string request;  // this target's own request; empty: the --request text
};

struct Options {
    std::string mode;
    std::string request = "c:get_lum:n:";
    long requests = 20000;
    long warmup = 1000;
    int clients = 1;
    double seconds = 3.0;
    double p50_goal = 0;
    std::vector<Server> servers;
};

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: bench_socket_client latency [--requests N] [--warmup N] [--request TEXT] "
            "[--p50-goal R] NAME=PATH[#REQUEST]...\n"
            "       bench_socket_client throughput [--clients C] [--seconds S] [--request TEXT] "
            "NAME=PATH...\n"
            "       bench_socket_client probe [--request TEXT] PATH\n");
    exit(2);
}

Options parse(int argc, char **argv) {
    if (argc < 3) {
        usage();
    }
    Options options;
    options.mode = argv[1];
    for (int index = 2; index < argc; ++index) {
        std::string arg = argv[index];
        bool has_value = index + 1 < argc;
        if (arg == "--request" && has_value) {
            options.request = argv[++index];
        } else if (arg == "--requests" && has_value) {
            options.requests = std::max(1L, atol(argv[++index]));
        } else if (arg == "--warmup" && has_value) {
            options.warmup = std::max(0L, atol(argv[++index]));
        } else if (arg == "--clients" && has_value) {
            options.clients = std::max(1, atoi(argv[++index]));
        } else if (arg == "--p50-goal" && has_value) {
            options.p50_goal = atof(argv[++index]);
        } else if (arg == "--seconds" && has_value) {
            options.seconds = std::max(0.1, atof(argv[++index]));
        } else if (arg.rfind("--", 0) == 0) {
            usage();
        } else {
            // NAME=PATH, optionally #REQUEST: several requests can be set against one server.
            size_t equals = arg.find('=');
            std::string name = equals == std::string::npos ? arg : arg.substr(0, equals);
            std::string path = equals == std::string::npos ? arg : arg.substr(equals + 1);
            size_t hash = path.find('#');
            std::string request = hash == std::string::npos ? "" : path.substr(hash + 1);
            options.servers.push_back({name, path.substr(0, hash), request});
        }
    }
    if (options.servers.empty()) {
        usage();
    }
    return options;
}

// One request and its reply; false when the connection failed.
bool exchange(int fd, const std::string &request) {
    char reply[4096];
    return send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(request.size()) &&
           recv(fd, reply, sizeof(reply), 0) > 0;
}

UniqueFd connect_or_exit(const Server &server) {
    UniqueFd fd = unix_connect(server.path);
    if (!fd.valid()) {
        fprintf(stderr, "bench_socket_client: cannot connect to %s (%s): %s\n", server.name.c_str(),
                server.path.c_str(), strerror(errno));
        exit(1);
    }
    return fd;
}

double percentile(std::vector<double> &samples, double fraction) {
    size_t rank = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(rank), samples.end());
    return samples[rank];
}

int run_latency(const Options &options) {
    constexpr long kBatch = 10;
    std::vector<UniqueFd> connections;
    for (const Server &server : options.servers) {
        connections.push_back(connect_or_exit(server));
    }
    std::vector<std::vector<double>> samples(options.servers.size());
    for (long done = -options.warmup; done < options.requests; done += kBatch) {
        for (size_t target = 0; target < connections.size(); ++target) {
            for (long index = 0; index < kBatch; ++index) {
                Clock::time_point start = Clock::now();
                const Server &server = options.servers[target];
                if (!exchange(connections[target].get(),
                              server.request.empty() ? options.request : server.request)) {
                    fprintf(stderr, "bench_socket_client: %s stopped answering\n",
                            options.servers[target].name.c_str());
                    return 1;
                }
                if (done >= 0) {
                    std::chrono::duration<double, std::micro> took = Clock::now() - start;
                    samples[target].push_back(took.count());
                }
            }
        }
    }
    bool own_requests = std::any_of(options.servers.begin(), options.servers.end(),
                                    [](const Server &server) { return !server.request.empty(); });
    if (own_requests) {
        printf("round trip, one client, %zu requests each:\n", samples[0].size());
    } else {
        printf("round trip of \"%s\", one client, %zu requests each:\n", options.request.c_str(),
               samples[0].size());
    }
    double floor_p50 = percentile(samples[0], 0.50);
    double floor_p99 = percentile(samples[0], 0.99);
    for (size_t target = 0; target < samples.size(); ++target) {
        double p50 = percentile(samples[target], 0.50);
        double p99 = percentile(samples[target], 0.99);
        printf("  %-8s p50 %8.2f us   p99 %8.2f us", options.servers[target].name.c_str(), p50,
               p99);
        if (target > 0) {
            printf("   (x%.2f and x%.2f of %s)", p50 / floor_p50, p99 / floor_p99,
                   options.servers[0].name.c_str());
            if (options.p50_goal > 0) {
                printf("   goal p50 within x%.2f: %s", options.p50_goal,
                       p50 <= options.p50_goal * floor_p50 ? "met" : "MISSED");
            }
        }
        printf("\n");
    }
    return 0;
}

// Requests answered by one server within `seconds`, its connections each in a closed loop.
long count_requests(const Server &server, std::vector<UniqueFd> &connections,
                    const std::string &request, double seconds) {
    std::atomic<bool> stop{false};
    std::atomic<bool> failed{false};
    std::vector<long> counts(connections.size(), 0);
    std::vector<std::thread> threads;
    for (size_t index = 0; index < connections.size(); ++index) {
        threads.emplace_back([&, index] {
            while (!stop.load(std::memory_order_relaxed)) {
                if (!exchange(connections[index].get(), request)) {
                    failed = true;
                    return;
                }
                ++counts[index];
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread &thread : threads) {
        thread.join();
    }
    if (failed) {
        fprintf(stderr, "bench_socket_client: %s stopped answering\n", server.name.c_str());
        exit(1);
    }
    long total = 0;
    for (long count : counts) {
        total += count;
    }
    return total;
}

int run_throughput(const Options &options) {
    // The servers take turns in short slices, so a burst of other load hits both alike.
    constexpr double kSlice = 0.25;
    size_t servers = options.servers.size();
    std::vector<std::vector<UniqueFd>> connections(servers);
    for (size_t target = 0; target < servers; ++target) {
        for (int index = 0; index < options.clients; ++index) {
            connections[target].push_back(connect_or_exit(options.servers[target]));
        }
    }
    std::vector<long> totals(servers, 0);
    std::vector<double> elapsed(servers, 0);
    int slices = std::max(1, static_cast<int>(options.seconds / kSlice + 0.5));
    for (int slice = 0; slice < slices; ++slice) {
        for (size_t target = 0; target < servers; ++target) {
            Clock::time_point start = Clock::now();
            totals[target] += count_requests(options.servers[target], connections[target],
                                             options.request, kSlice);
            elapsed[target] += std::chrono::duration<double>(Clock::now() - start).count();
        }
    }

    printf("requests per second, %d client%s, %.1f s each:\n", options.clients,
           options.clients == 1 ? "" : "s", slices * kSlice);
    double floor_rate = static_cast<double>(totals[0]) / elapsed[0];
    for (size_t target = 0; target < servers; ++target) {
        double rate = static_cast<double>(totals[target]) / elapsed[target];
        printf("  %-8s %10.0f req/s", options.servers[target].name.c_str(), rate);
        if (target > 0) {
            printf("   (x%.2f of %s)", rate / floor_rate, options.servers[0].name.c_str());
        }
        printf("\n");
    }
    return 0;
}

int run_probe(const Options &options) {
    UniqueFd fd = unix_connect(options.servers[0].path);
    return fd.valid() && exchange(fd.get(), options.request) ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    Options options = parse(argc, argv);
    if (options.mode == "latency") {
        return run_latency(options);
    }
    if (options.mode == "throughput") {
        return run_throughput(options);
    }
    if (options.mode == "probe") {
        return run_probe(options);
    }
    usage();
}
