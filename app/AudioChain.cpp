#include "app/AudioChain.h"

#include "output/MMWavOut.h"
#include "processing/MMVolume.h"
#include "processing/MMWMixer.h"
#include "sources/MMAudio.h"

#include <stdexcept>
#include <string>

void RegisterAudioChainClasses() {
    RegisterAudioFileComponentClass();
    RegisterWaveMixerClass();
    RegisterVolumeClass();
    RegisterWaveOutClass();
}

TComponentsDescription AudioChainDescription() {
    TComponentsDescription description;
    auto add = [&](const char* className, std::string name,
                   std::vector<std::pair<std::string, TPropertyValue>> properties = {}) {
        description.components.push_back({className, std::move(name), std::move(properties)});
    };
    for (int slot = 1; slot <= SlotCount; ++slot)
        add("TMMAudioFile", "MMAudioFile" + std::to_string(slot));
    for (int mixer = 1; mixer <= 5; ++mixer)
        add("TMMWaveMixer", "MMWaveMixer" + std::to_string(mixer));
    add("TMMVolume", "MMVolume1");
    // The effect stage joins between the volume stage and the output.
    add("TMMWaveOut", "MMWaveOut1",
        {{"BufferSize", int64_t{4096}},
         {"NumBuffers", int64_t{10}},
         {"DeviceID", int64_t{-1}},
         {"CallBackMode", std::string("cmThread")},
         {"Priority", std::string("tpHighest")}});
    // The monitors join behind the output.

    // Slot N feeds port (N - 1) mod 4 + 1 of mixer (N - 1) div 4 + 1.
    for (int slot = 1; slot <= SlotCount; ++slot)
        description.links.push_back({"MMWaveMixer" + std::to_string((slot - 1) / 4 + 1),
                                     "Input" + std::to_string((slot - 1) % 4 + 1),
                                     "MMAudioFile" + std::to_string(slot)});
    for (int mixer = 1; mixer <= 4; ++mixer)
        description.links.push_back({"MMWaveMixer5", "Input" + std::to_string(mixer),
                                     "MMWaveMixer" + std::to_string(mixer)});
    description.links.push_back({"MMVolume1", "Input", "MMWaveMixer5"});
    description.links.push_back({"MMWaveOut1", "Input", "MMVolume1"});
    return description;
}

TAudioChain::TAudioChain() {
    RegisterAudioChainClasses();
    owner_.Load(AudioChainDescription());
}

TAudioChain::~TAudioChain() {
    // The output stops pulling before the chain it pulls goes away.
    if (TMMWaveOut* out = WaveOut())
        out->CloseDevice();
}

TMMAudioFile* TAudioChain::AudioFile(int slot) const {
    return owner_.Find<TMMAudioFile>("MMAudioFile" + std::to_string(slot));
}

TMMWaveMixer* TAudioChain::Mixer(int index) const {
    return owner_.Find<TMMWaveMixer>("MMWaveMixer" + std::to_string(index));
}

TMMVolume* TAudioChain::Volume() const {
    return owner_.Find<TMMVolume>("MMVolume1");
}

TMMWaveOut* TAudioChain::WaveOut() const {
    return owner_.Find<TMMWaveOut>("MMWaveOut1");
}

void TAudioChain::ResetSlots() {
    for (int slot = 1; slot <= SlotCount; ++slot) {
        TMMAudioFile* file = AudioFile(slot);
        file->SetEnabled(false);
        file->SetFileName("");
    }
}

void TAudioChain::Play(int slot, const std::string& fileName) {
    if (slot < 1 || slot > SlotCount)
        throw std::out_of_range("slot " + std::to_string(slot));
    WaveOut()->CloseDevice();
    ResetSlots();
    TMMAudioFile* file = AudioFile(slot);
    file->SetFileName(fileName);
    file->SetEnabled(true);
    WaveOut()->StartDevice();
}

void TAudioChain::Stop(int slot) {
    if (slot < 1 || slot > SlotCount)
        throw std::out_of_range("slot " + std::to_string(slot));
    TMMAudioFile* file = AudioFile(slot);
    file->SetEnabled(false);
    file->SetPosition(0);
    WaveOut()->CloseDevice();
}
