// The message table of the audio components (numbers 28000 + n) and their exception classes.
#pragma once

#include <stdexcept>
#include <string>

enum TMMMessage : int {
    SWaveFileFilter = 28004,
    SUnableToLoad = 28040,
    SChangeWhileOpen = 28060,
    SInvalidDeviceID = 28061,
    SInvalidWaveFormat = 28062,
    SNoWaveHeaderMemory = 28064,
    SCannotPlayFormat = 28070,
    SUnableToStartDevice = 28080,
    SErrorFillingBuffer = 28081,
    SUnknownErrorNumber = 28086,
    SCouldNotCreateThread = 28088,
    SInvalidWaveFormatLower = 28089,
    SErrorReadingWaveFile = 28130,
    SInvalidWaveFile = 28133,
    SUnableToSetupIOBuffer = 28137,
    SUnableToOpenWaveFile = 28138,
    SErrorSeekingPosition = 28147,
    SNoPlayingDevice = 28161,
    SUnableToOpenDevice = 28162,
    SUnableToCloseDevice = 28163,
};

// The text of a message number; an empty text for a number the table does not hold.
std::string LoadResStr(int id);

// Base of the audio components' exceptions.
class EMMError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

#define TESSARO_MM_ERROR(Name)                                                                     \
    class Name : public EMMError {                                                                 \
    public:                                                                                        \
        using EMMError::EMMError;                                                                  \
    }

TESSARO_MM_ERROR(EMMWaveError);
TESSARO_MM_ERROR(EMMAudioError);
TESSARO_MM_ERROR(EMMMpegError);
TESSARO_MM_ERROR(EMMConverterError);
TESSARO_MM_ERROR(EMMADPCMError);
TESSARO_MM_ERROR(EMMWaveMixerError);
TESSARO_MM_ERROR(EMMVolumeError);
TESSARO_MM_ERROR(EMMPlugInError);
TESSARO_MM_ERROR(EMMWaveOutError);
TESSARO_MM_ERROR(EMMConnectorError);
TESSARO_MM_ERROR(EMMLevelError);
TESSARO_MM_ERROR(EMMLightError);
TESSARO_MM_ERROR(EMMHiTimerError);

#undef TESSARO_MM_ERROR
