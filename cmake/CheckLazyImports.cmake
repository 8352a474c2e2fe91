# Fails the build when the launcher binds at load time a system library that
# launcher/LazyImports.cpp binds at first call: a function used somewhere and
# not listed there pulls its whole library back into the start.
# Called with -DOBJDUMP=<objdump> -DEXE=<launcher>.
execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "cannot read the imports of ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" imported "${headers}")
foreach(entry IN LISTS imported)
    string(REPLACE "DLL Name: " "" library "${entry}")
    string(TOLOWER "${library}" library)
    if(library MATCHES "^(wininet|bcrypt|crypt32|gdiplus|ole32|oleaut32|oleacc|shell32)\\.dll$")
        message(FATAL_ERROR "${EXE} imports ${library} at load time: add the functions it uses to launcher/LazyImports.cpp")
    endif()
endforeach()
