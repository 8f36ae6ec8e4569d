# The Python interpreter of the build (the resource generator) and of the tests (the suites and
# the local FTP server, scripts/ftp_server.py, which needs pyftpdlib). Debian packages pyftpdlib
# for its own python3; an interpreter found earlier on PATH (pyenv, a virtual environment) may
# lack it. So unless one is named with -DPython3_EXECUTABLE=..., a build with tests takes the
# first python3 that find_program finds (on PATH, in the usual order) that can import pyftpdlib.

# Whether the interpreter `python` can import pyftpdlib, into `result`; find_program's
# validator.
function(kestrin_python_has_pyftpdlib result python)
  execute_process(COMMAND "${python}" -c "import pyftpdlib"
                  RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(failed)
    set(${result} FALSE PARENT_SCOPE)
  else()
    set(${result} TRUE PARENT_SCOPE)
  endif()
endfunction()

if(KESTRIN_BUILD_TESTS)
  find_program(Python3_EXECUTABLE NAMES python3 VALIDATOR kestrin_python_has_pyftpdlib
               DOC "The Python interpreter of the build and the tests (one with pyftpdlib)")
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)

if(KESTRIN_BUILD_TESTS)
  kestrin_python_has_pyftpdlib(usable "${Python3_EXECUTABLE}")
  if(NOT usable)
    message(FATAL_ERROR
      "The tests' FTP server needs the Python module pyftpdlib, which ${Python3_EXECUTABLE} "
      "cannot import (and when no interpreter is named, no python3 on PATH can). Install it "
      "(Debian: python3-pyftpdlib, "
      "which scripts/setup.sh installs), name an interpreter that has it with "
      "-DPython3_EXECUTABLE=/path/to/python3, or configure without the tests "
      "(-DKESTRIN_BUILD_TESTS=OFF).")
  endif()
  message(STATUS "Python for the build and the tests: ${Python3_EXECUTABLE} (has pyftpdlib)")
endif()
