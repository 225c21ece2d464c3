# The LZX fuzz targets; included by this directory's CMakeLists.txt after the
# instrumented object library qm_cabinet_fuzz_objects exists.
if(QM_BUILD_FUZZ AND TARGET qm_cabinet_fuzz_objects)
  qm_fuzz(NAME fuzz_lzx_decoder SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/LzxDecoderFuzz.cpp
          LIBS qm_cabinet_fuzz_objects)
  qm_fuzz(NAME fuzz_lzx_roundtrip SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/LzxRoundTripFuzz.cpp
          LIBS qm_cabinet_fuzz_objects)
endif()
