# VM_SANITIZE: empty, "address,undefined" or "thread". Applied to every target built after this.
set(VM_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined | thread)")

if(VM_SANITIZE)
    add_compile_options(-fsanitize=${VM_SANITIZE} -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${VM_SANITIZE})
    if(VM_SANITIZE MATCHES "undefined")
        add_compile_options(-fno-sanitize-recover=undefined)
    endif()
endif()
