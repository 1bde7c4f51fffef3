# The MPEG reader fed arbitrary files.
#   tessaro_fuzz_mpeg fuzz/corpus/mpeg -max_total_time=60
add_executable(tessaro_fuzz_mpeg MpegFuzz.cpp)
tessaro_target(tessaro_fuzz_mpeg)
target_link_libraries(tessaro_fuzz_mpeg PRIVATE tessaro_sources)
target_link_options(tessaro_fuzz_mpeg PRIVATE -fsanitize=fuzzer)
# The seeds in fuzz/corpus/mpeg are the first frames of files in tests/fixtures/mpeg.
