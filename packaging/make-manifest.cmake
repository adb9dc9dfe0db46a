# Writes the sparse package's manifest at build time:
#   cmake -DTEMPLATE=.. -DMODULE_SOURCE=cntts_Module.cpp -DVERSION=a.b.c.d
#         -DMODULE_NAME=KSXSHELL.dll -DPUBLISHER=.. -DOUTPUT=.. -P make-manifest.cmake
# The class id is read from the module's own definition of it.
file(STRINGS "${MODULE_SOURCE}" line REGEX "CLSID_KsxExplorerCommand = ")
string(REGEX MATCHALL "0x[0-9A-Fa-f]+" parts "${line}")
list(LENGTH parts count)
if(NOT count EQUAL 11)
  message(FATAL_ERROR "no CLSID_KsxExplorerCommand definition in ${MODULE_SOURCE}")
endif()
set(widths 8 4 4 2 2 2 2 2 2 2 2)
set(hex "")
foreach(i RANGE 10)
  list(GET parts ${i} part)
  list(GET widths ${i} width)
  string(SUBSTRING "${part}" 2 -1 digits)
  string(LENGTH "${digits}" length)
  if(NOT length EQUAL width)
    message(FATAL_ERROR "CLSID_KsxExplorerCommand: ${part} is not ${width} digits")
  endif()
  string(APPEND hex "${digits}")
endforeach()
string(TOUPPER "${hex}" hex)
# The manifest's form of a GUID has no braces.
string(REGEX REPLACE "^(........)(....)(....)(....)(............)$" "\\1-\\2-\\3-\\4-\\5" KSX_COMMAND_CLSID
  "${hex}")
set(KSX_MODULE_VERSION "${VERSION}")
set(KSX_MODULE_NAME "${MODULE_NAME}")
string(REPLACE "&" "&amp;" KSX_PACKAGE_PUBLISHER "${PUBLISHER}")
string(REPLACE "\"" "&quot;" KSX_PACKAGE_PUBLISHER "${KSX_PACKAGE_PUBLISHER}")
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
