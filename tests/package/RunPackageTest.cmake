# Driver for the packaging tests, run as `cmake -DMODE=... -P RunPackageTest.cmake`.

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${STAGE}/prefix)
if(NOT CONSUMER)
    set(CONSUMER consumer)
endif()
if(NOT PKG)
    set(PKG portnet)
endif()
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
separate_arguments(link_flags UNIX_COMMAND "${LINK_FLAGS}")
# Programs of a cross build run through its emulator (Wine); empty for a native build.
separate_arguments(run_under UNIX_COMMAND "${RUN_UNDER}")
if(WINDOWS)
    # The DLL lives in bin/ beside the programs, its import library in lib/.
    set(installed_libs ${BINDIR}/portnet.dll ${LIBDIR}/libportnet.dll.a)
    # The toolchain confines package searches to the target's root; the package is named.
    set(toolchain_args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
        -Dportnet_DIR=${prefix}/${LIBDIR}/cmake/portnet)
else()
    set(installed_libs ${LIBDIR}/libportnet.so)
    set(toolchain_args -DCMAKE_CXX_COMPILER=${CXX})
endif()

# Windows finds a program's DLLs beside it: the consumer gets a copy of the installed one.
function(place_runtime dir)
    if(WINDOWS)
        file(COPY ${prefix}/${BINDIR}/portnet.dll DESTINATION ${dir})
    endif()
endfunction()

if(MODE STREQUAL "install")
    file(REMOVE_RECURSE ${prefix})
    run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
    set(expected include/portnet/portnet.h ${installed_libs} ${LIBDIR}/pkgconfig/portnet.pc
                 ${LIBDIR}/cmake/portnet/portnetConfig.cmake)
    if(SECURE)
        list(APPEND expected include/portnet/CNetDtls.h ${LIBDIR}/libportnet-secure.so
             ${LIBDIR}/pkgconfig/portnet-secure.pc)
    endif()
    foreach(f ${expected})
        if(NOT EXISTS ${prefix}/${f})
            message(FATAL_ERROR "not installed: ${f}")
        endif()
    endforeach()

elseif(MODE STREQUAL "cmake")
    set(build ${STAGE}/cmake_${CONSUMER})
    file(REMOVE_RECURSE ${build})
    run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/${CONSUMER} -B ${build} -G ${GENERATOR}
        -DCMAKE_PREFIX_PATH=${prefix} ${toolchain_args}
        "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
    run(${CMAKE_COMMAND} --build ${build})
    place_runtime(${build})
    run(${run_under} ${build}/app${EXE})
    message(STATUS "${run_output}")

elseif(MODE STREQUAL "pkgconfig")
    set(build ${STAGE}/pkgconfig_${CONSUMER})
    file(REMOVE_RECURSE ${build})
    file(MAKE_DIRECTORY ${build})
    run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
        pkg-config --cflags --libs ${PKG})
    separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
    run(${CXX} ${cxx_flags} ${SOURCE_DIR}/${CONSUMER}/main.cpp ${pc_flags} ${link_flags}
        -o ${build}/app${EXE})
    place_runtime(${build})
    run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${run_under} ${build}/app${EXE})
    message(STATUS "${run_output}")

elseif(MODE STREQUAL "readme_pkgconfig")
    # The pkg-config lines of README.md, run as written in a directory holding app.cpp (the
    # consumer), with LD_LIBRARY_PATH unset: only /opt/portnet becomes the staged prefix, and
    # `c++` is the build's compiler with its flags (a script of that name first on PATH).
    file(READ ${README} readme)
    set(open "<!-- readme-pkgconfig begin -->\n```sh\n")
    string(FIND "${readme}" "${open}" begin)
    string(FIND "${readme}" "```\n<!-- readme-pkgconfig end -->" end)
    if(begin EQUAL -1 OR end EQUAL -1)
        message(FATAL_ERROR "README.md: the lines between the readme-pkgconfig markers are missing")
    endif()
    string(LENGTH "${open}" open_len)
    math(EXPR begin "${begin} + ${open_len}")
    math(EXPR length "${end} - ${begin}")
    string(SUBSTRING "${readme}" ${begin} ${length} lines)
    string(REPLACE "/opt/portnet/lib" "${prefix}/${LIBDIR}" lines "${lines}")
    string(REPLACE "/opt/portnet" "${prefix}" lines "${lines}")
    set(dir ${STAGE}/readme_pkgconfig)
    file(REMOVE_RECURSE ${dir})
    file(MAKE_DIRECTORY ${dir}/bin)
    configure_file(${SOURCE_DIR}/consumer/main.cpp ${dir}/app.cpp COPYONLY)
    file(WRITE ${dir}/bin/c++ "#!/bin/sh\nexec ${CXX} ${CXX_FLAGS} ${LINK_FLAGS} \"$@\"\n")
    file(CHMOD ${dir}/bin/c++ PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    file(WRITE ${dir}/readme.sh "${lines}")
    execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
                            --unset=PKG_CONFIG_PATH "PATH=${dir}/bin:$ENV{PATH}" sh -e readme.sh
                    WORKING_DIRECTORY ${dir} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                    ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "README.md's pkg-config lines failed (${rc}):\n${lines}\n${out}\n${err}")
    endif()
    message(STATUS "${out}")

elseif(MODE STREQUAL "installed_demo")
    # The installed demo finds the installed library by itself (no LD_LIBRARY_PATH) and passes.
    set(demo ${prefix}/${BINDIR}/portnet-demo${EXE})
    if(NOT EXISTS ${demo})
        message(FATAL_ERROR "not installed: ${BINDIR}/portnet-demo${EXE}")
    endif()
    run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${run_under} ${demo} --frames 120)
    if(NOT run_output MATCHES "\nresult: PASS\r?\n")
        message(FATAL_ERROR "the installed demo did not pass:\n${run_output}")
    endif()

elseif(MODE STREQUAL "installed_token")
    # The installed portnet-token, which links only the secure library, starts by itself and
    # mints a token of at most 256 characters and a player key of 64 hex digits.
    file(WRITE ${STAGE}/sealing.key "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\n")
    run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${run_under}
        ${prefix}/${BINDIR}/portnet-token${EXE} --key-file ${STAGE}/sealing.key --player 5
        --server eu-1)
    if(NOT run_output MATCHES "^[A-Za-z0-9_-]+\r?\n[0-9a-f]+\r?\n$")
        message(FATAL_ERROR "portnet-token printed no token and key:\n${run_output}")
    endif()

elseif(MODE STREQUAL "core_without_openssl")
    # The core library must not pull in OpenSSL: only the secure library links it.
    run(readelf -d ${LIB})
    if(run_output MATCHES "libssl|libcrypto")
        message(FATAL_ERROR "${LIB} depends on OpenSSL:\n${run_output}")
    endif()
    run(readelf -d ${SECURE_LIB})
    if(NOT run_output MATCHES "libssl")
        message(FATAL_ERROR "${SECURE_LIB} does not link OpenSSL")
    endif()

elseif(MODE STREQUAL "symbols")
    if(WINDOWS)
        # The DLL's export table lists one "[ordinal] name" line per export.
        run(${OBJDUMP} -p ${LIB})
        string(REGEX REPLACE ".*\\[Ordinal/Name Pointer\\] Table\n" "" run_output "${run_output}")
        string(REGEX REPLACE "\n\n.*" "\n" run_output "${run_output}")
        # mingw's GCC exports the type information (_ZTI) of each class derived from an exported
        # class, internal ones too; the type information alone gives no access to the class.
        string(REGEX REPLACE "[^\n]*_ZTI[^\n]*\n" "" run_output "${run_output}")
        set(exported "\\] ")
    else()
        run(nm -D --defined-only ${LIB})
        set(exported " T ")
    endif()
    foreach(name ToString GetAddrFromString ParseAddr ResolveAddr CheckDestAddr CompareAddr
                 GetSystemNetDriver ReleaseSystemNetDriver)
        if(NOT run_output MATCHES "${exported}${name}\n")
            message(FATAL_ERROR "${name} is not exported under its plain name")
        endif()
    endforeach()
    # Internal classes, registries and the platform layer stay hidden.
    foreach(internal CNetList CNetLocal g_driver_list g_local_list 8platform LibraryEntry)
        if(run_output MATCHES "${internal}")
            message(FATAL_ERROR "internal symbol exported: ${internal}")
        endif()
    endforeach()

elseif(MODE STREQUAL "run_in_empty_dir")
    set(dir ${STAGE}/empty_dir)
    file(REMOVE_RECURSE ${dir})
    file(MAKE_DIRECTORY ${dir})
    execute_process(COMMAND ${run_under} ${PROGRAM} WORKING_DIRECTORY ${dir} RESULT_VARIABLE rc
                    OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${PROGRAM} exited with ${rc}\n${out}\n${err}")
    endif()
    file(GLOB left ${dir}/*)
    if(left)
        message(FATAL_ERROR "the library left files behind: ${left}")
    endif()

else()
    message(FATAL_ERROR "unknown MODE '${MODE}'")
endif()
