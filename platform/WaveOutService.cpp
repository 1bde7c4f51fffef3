// The process-wide wave output service.
//
// Installing a service replaces the one in use; a reference obtained from WaveOutService()
// before that must not be used afterwards, so install only while no device is open (tests do
// it in their set-up and tear-down).
#include "platform/WaveOut.h"

#include <mutex>

namespace {

struct InstalledService {
    std::mutex mutex;
    std::shared_ptr<IWaveOutService> service; // guarded by mutex; empty: ALSA when first asked
};

InstalledService& Installed() {
    static InstalledService installed;
    return installed;
}

} // namespace

IWaveOutService& WaveOutService() {
    InstalledService& installed = Installed();
    std::lock_guard lock(installed.mutex);
    if (!installed.service)
        installed.service = MakeAlsaWaveOutService();
    return *installed.service;
}

void SetWaveOutService(std::shared_ptr<IWaveOutService> service) {
    InstalledService& installed = Installed();
    std::lock_guard lock(installed.mutex);
    installed.service = std::move(service);
}
