// The program's audio chain, as the main window holds it: sixteen file sources, four mixers of
// four slots each, a mixer of the four, the master volume stage and the wave output, built from
// one description of components, properties and links.
//
//   MMAudioFile1..16 -> MMWaveMixer1..4 -> MMWaveMixer5 -> MMVolume1 -> MMWaveOut1
//
// Threading: main thread only; the output pulls the chain on its own service thread.
#pragma once

#include "chain/MMObj.h"

#include <string>

class TMMAudioFile;
class TMMWaveMixer;
class TMMVolume;
class TMMWaveOut;

constexpr int SlotCount = 16;

// Makes every component class of the chain known to descriptions.
void RegisterAudioChainClasses();

// The chain's components, properties and links.
TComponentsDescription AudioChainDescription();

class TAudioChain {
public:
    // Loads the description into a container of its own.
    TAudioChain();
    ~TAudioChain();
    TAudioChain(const TAudioChain&) = delete;
    TAudioChain& operator=(const TAudioChain&) = delete;

    TMMAudioFile* AudioFile(int slot) const; // slot 1..16
    TMMWaveMixer* Mixer(int index) const;    // 1..5
    TMMVolume* Volume() const;
    TMMWaveOut* WaveOut() const;
    TMMComponentOwner& Components() { return owner_; }

    // Closes the output, disables and unloads every slot, loads the file into the slot and
    // enables it, then starts the output: the slot plays alone, from its start. An empty name
    // starts the output without a file. The load's error leaves the output closed.
    void Play(int slot, const std::string& fileName);
    // Disables the slot's source, seeks it to its start and closes the output.
    void Stop(int slot);
    // Disables and unloads every slot.
    void ResetSlots();

private:
    TMMComponentOwner owner_;
};
