#include "chain/MMMsgs.h"

#include <array>
#include <utility>

std::string LoadResStr(int id) {
    static constexpr std::array<std::pair<int, const char*>, 20> table{{
        {SWaveFileFilter, "Wave Files(*.wav)|*.wav"},
        {SUnableToLoad, "Unable to load"},
        {SChangeWhileOpen, "Change to property while device was open"},
        {SInvalidDeviceID, "Invalid DeviceID"},
        {SInvalidWaveFormat, "Invalid WaveFormat"},
        {SNoWaveHeaderMemory, "Unable to allocate memory for wave header"},
        {SCannotPlayFormat, "The actual device can''t play this format"},
        {SUnableToStartDevice, "Unable to start device"},
        {SErrorFillingBuffer, "Error filling wave buffer"},
        {SUnknownErrorNumber, "Specified error number is out of range (unknown error)"},
        {SCouldNotCreateThread, "Could not create thread"},
        {SInvalidWaveFormatLower, "Invalid wave format"},
        {SErrorReadingWaveFile, "Error reading wave file"},
        {SInvalidWaveFile, "Invalid wave file..."},
        {SUnableToSetupIOBuffer, "Unable to setup file IO buffer"},
        {SUnableToOpenWaveFile, "Unable to open wave file"},
        {SErrorSeekingPosition, "Error seeking file position"},
        {SNoPlayingDevice, "No wave audio playing device found"},
        {SUnableToOpenDevice, "Unable to open device"},
        {SUnableToCloseDevice, "Unable to close device"},
    }};
    for (const auto& [number, text] : table)
        if (number == id)
            return text;
    return {};
}
