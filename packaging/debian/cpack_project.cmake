# Read by cpack: the package's registry drop-ins always go to /etc/varmoth, whatever
# VARMOTH_REGISTRY the shell that runs cpack points at.
unset(ENV{VARMOTH_REGISTRY})
