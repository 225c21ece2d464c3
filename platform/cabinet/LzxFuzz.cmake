# The LZX decoder's fuzz target; included by this directory's CMakeLists.txt
# after the instrumented object library qm_cabinet_fuzz_objects exists.
if(QM_BUILD_FUZZ AND TARGET qm_cabinet_fuzz_objects)
  qm_fuzz(NAME fuzz_lzx_decoder SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/LzxDecoderFuzz.cpp
          LIBS qm_cabinet_fuzz_objects)
endif()
