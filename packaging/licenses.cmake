# Builds the component root: one "<name>-<version>.dist-info" folder per library the program
# links or ships, holding that library's real licence text as installed on this machine
# (Debian's copyright file of the package, the LICENSE file of each bundled npm package).
# Usage: cmake -DOUT=<folder> -DNODE_MODULES=<folder> -P licenses.cmake
if(NOT OUT OR NOT NODE_MODULES)
  message(FATAL_ERROR "OUT and NODE_MODULES must be given")
endif()
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})

# Component name -> Debian package whose copyright file carries its licence.
set(_debian
  "libssh=libssh-4"
  "ICU=libicu72"
  "nlohmann-json=nlohmann-json3-dev"
  "WebKitGTK=libwebkit2gtk-4.1-0"
  "GTK=libgtk-3-0"
  "AppIndicator=libayatana-appindicator3-1"
  "OpenSSL=libssl3"
  "zlib=zlib1g"
  "cpp-httplib=libcpp-httplib-dev")
set(_missing)
# Without the desktop window the GUI libraries are neither linked nor shipped.
if(NOT GUI)
  list(FILTER _debian EXCLUDE REGEX "^(WebKitGTK|GTK|AppIndicator)=")
endif()
foreach(entry ${_debian})
  string(REPLACE "=" ";" pair ${entry})
  list(GET pair 0 name)
  list(GET pair 1 pkg)
  execute_process(COMMAND dpkg-query -W -f=\${Version} ${pkg}
    OUTPUT_VARIABLE ver RESULT_VARIABLE rc ERROR_QUIET)
  set(copyright /usr/share/doc/${pkg}/copyright)
  if(NOT rc EQUAL 0 OR ver STREQUAL "" OR NOT EXISTS ${copyright})
    list(APPEND _missing ${pkg})
    continue()
  endif()
  # The upstream version: no epoch, no Debian revision (the folder name splits at its last dash).
  string(REGEX REPLACE "^[0-9]+:" "" ver "${ver}")
  string(REGEX REPLACE "-[^-]*$" "" ver "${ver}")
  string(REGEX REPLACE "[.+~](dfsg|ds).*$" "" ver "${ver}")
  set(dir ${OUT}/${name}-${ver}.dist-info)
  file(MAKE_DIRECTORY ${dir})
  file(COPY_FILE ${copyright} ${dir}/LICENSE)
endforeach()

# The page bundles xterm.js and its add-ons.
foreach(mod xterm addon-fit addon-search addon-unicode11 addon-web-links)
  set(src ${NODE_MODULES}/@xterm/${mod})
  if(NOT EXISTS ${src}/package.json)
    list(APPEND _missing @xterm/${mod})
    continue()
  endif()
  file(READ ${src}/package.json pj)
  string(JSON ver GET "${pj}" version)
  if(mod STREQUAL "xterm")
    set(name xterm.js)
  else()
    set(name xterm.js-${mod})
  endif()
  file(GLOB lic LIST_DIRECTORIES false ${src}/LICENSE* ${src}/LICENCE* ${src}/license* ${src}/NOTICE)
  if(NOT lic)
    list(APPEND _missing "@xterm/${mod} (no licence file)")
    continue()
  endif()
  set(dir ${OUT}/${name}-${ver}.dist-info)
  file(MAKE_DIRECTORY ${dir})
  file(COPY ${lic} DESTINATION ${dir})
endforeach()

if(_missing)
  message(FATAL_ERROR "licence texts not found for: ${_missing}")
endif()
