# Debian 12 packages, sourced by run.sh and test.sh.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-serialport-dev qt6-qpa-plugins libsystemd-dev)
TEST_PACKAGES=(xvfb xauth xdotool openbox imagemagick desktop-file-utils appstream clang libclang-rt-14-dev)
