# Writes the registry drop-ins that tell the programs where the products were installed.
set(registry_root "$ENV{VARMOTH_REGISTRY}")
if(registry_root STREQUAL "")
    set(registry_root "/etc/varmoth")
endif()
set(drop_in_dir "${registry_root}/registry.d")

# Registry strings escape backslashes and quotes.
function(reg_string out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\\\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

function(write_product_drop_in file key directory extra)
    reg_string(path "${CMAKE_INSTALL_PREFIX}/${directory}")
    # Written beside the build, then installed as any other file: DESTDIR applies and the
    # install manifest lists it, so that an uninstall driven by the manifest removes it.
    file(WRITE "${VM_REGISTRY_STAGING}/${file}"
"Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\${key}]

[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\${key}\\0001]

[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\${key}\\0001\\PathName]
\"Path00\"=${path}
${extra}")
    file(INSTALL "${VM_REGISTRY_STAGING}/${file}" DESTINATION "${drop_in_dir}")
    set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

reg_string(registration "${CMAKE_INSTALL_PREFIX}/ktl-or/cnf/jowdtcns.xml")
write_product_drop_in(varmoth-ktl-or.reg KTL-OR ktl-or
"
; The service as a component of the configuration provider: its registration file.
[HKEY_LOCAL_MACHINE\\SOFTWARE\\VARMOTH\\KTL-PV\\ASSIST]
\"Orvalis\"=${registration}

; The service's event source.
[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Orvalis]
\"TypesSupported\"=dword:00000007
")
write_product_drop_in(varmoth-ktl-pv.reg KTL-PV ktl-pv "")
