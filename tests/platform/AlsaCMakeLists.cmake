# The ALSA wave output back end against PulseAudio with a null sink (needs pulseaudio,
# pulseaudio-utils and libasound2-plugins at run time; the tests start the server themselves).
tessaro_test(tessaro_alsa_tests e2e LIBS tessaro_platform SOURCES WaveOutAlsaTest.cpp ../support/PulseNullSink.cpp)
