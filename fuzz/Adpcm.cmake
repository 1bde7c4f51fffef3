# The converters of the audio file source (own ADPCM decoders and the compression service) fed
# arbitrary format records and data.
#   tessaro_fuzz_adpcm fuzz/corpus/adpcm -max_total_time=60
add_executable(tessaro_fuzz_adpcm AdpcmFuzz.cpp)
tessaro_target(tessaro_fuzz_adpcm)
target_link_libraries(tessaro_fuzz_adpcm PRIVATE tessaro_sources)
target_link_options(tessaro_fuzz_adpcm PRIVATE -fsanitize=fuzzer)
