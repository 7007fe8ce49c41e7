# Soak: veltra.exe, the test HID device as the pendant and the stand-in host as processes, run
# through many unplug cycles, key floods, races and hostile inputs. The suite runs the short form;
# tools/soak.sh runs the long one (soak_tests.exe --cycles 100 --keys 10000 --instances 100).
set(soak_suites SoakLink SoakHostile)
veltra_gtest(soak_tests
  SOURCES soak/soak_test.cpp
  SUITES ${soak_suites}
  DEPENDS veltra testhid ncstudio-v8 hravik_full hravik_none)
set_tests_properties(${soak_suites} PROPERTIES RESOURCE_LOCK "driver;desktop;hidbus"
    FIXTURES_REQUIRED "wine;hidbus" TIMEOUT 240)

# The driver loads hravik.dll only from its own folder: a copy of the driver beside a library
# that lacks every export, beside a library of the other bitness, and beside none.
set(soak_dir ${CMAKE_BINARY_DIR}/soak)
set(hravik_src ${CMAKE_SOURCE_DIR}/tools/hravik)
set(other_def ${soak_dir}/hravik-otherbits.def)
set(other_def_text "LIBRARY hravik.dll\nEXPORTS\n")
# i686 __stdcall names are decorated name@argument-bytes; the .def exports them plain.
foreach(pair installhook@4 UnHook@0 SetVer@4 EnableMap@4 SetPcState@8 GetMaState@0 GetMaStep@0
             GetAxisLocation@8 KeyBoardProc@12)
  string(REGEX REPLACE "@.*" "" export ${pair})
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    string(APPEND other_def_text "    ${export} = ${pair}\n")
  else()
    string(APPEND other_def_text "    ${export}\n")
  endif()
endforeach()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  find_program(OTHER_CXX i686-w64-mingw32-g++-posix REQUIRED)
else()
  find_program(OTHER_CXX x86_64-w64-mingw32-g++-posix REQUIRED)
endif()
file(WRITE ${other_def}.in "${other_def_text}")
configure_file(${other_def}.in ${other_def} COPYONLY)
add_custom_command(OUTPUT ${soak_dir}/otherbits/hravik.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${soak_dir}/otherbits
  COMMAND ${OTHER_CXX} -O2 -shared -static -static-libgcc -static-libstdc++ -D_WIN32_WINNT=0x0601
          -DWIN32_LEAN_AND_MEAN -I${hravik_src} ${hravik_src}/hravik.cpp ${other_def}
          -Wl,--exclude-all-symbols -o ${soak_dir}/otherbits/hravik.dll
  DEPENDS ${hravik_src}/hravik.cpp ${hravik_src}/hravik_shared.h ${other_def}
  COMMENT "stand-in hook library of the other bitness for the soak"
  VERBATIM)
add_custom_target(soak_variants ALL
  DEPENDS ${soak_dir}/otherbits/hravik.dll
  COMMAND ${CMAKE_COMMAND} -E make_directory ${soak_dir}/none ${soak_dir}/nolib
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:hravik_none> ${soak_dir}/none/hravik.dll
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:veltra> ${soak_dir}/none/
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:veltra> ${soak_dir}/otherbits/
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:veltra> ${soak_dir}/nolib/
  VERBATIM)
add_dependencies(soak_variants veltra hravik_none)
add_dependencies(soak_tests soak_variants)
