#include "core/storage_worker.h"

#include <utility>

#include "core/serial_worker.h"

namespace {

SerialWorker worker;

}  // namespace

void storage_run(std::function<int()> job, std::function<void(int result)> done) {
    worker.run(std::move(job), std::move(done));
}

void storage_every(std::chrono::milliseconds period, std::function<void()> tick) {
    worker.every(period, std::move(tick));
}

void storage_finish() {
    worker.finish();
}
