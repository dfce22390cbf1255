# Shared by scripts/test and scripts/demo: install what is missing, then build.
PACKAGES=(build-essential cmake pkg-config libre-dev libjansson-dev libdbus-1-dev
          libsqlite3-dev dbus-daemon dbus-bin sip-tester baresip-core libgtest-dev
          libgmock-dev sox valgrind librem-dev libasound2-dev espeak-ng
          libavformat-dev libavcodec-dev libavutil-dev
          python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base
          gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-libav
          baresip-ffmpeg)
# sd_notify for the service unit; systemd's tools check the install tree.
PACKAGES+=(libsystemd-dev systemd)
# Verifying TLS servers (OpenSSL); socat puts TLS in front of a sipp registrar in the tests.
PACKAGES+=(libssl-dev socat)
# Steps the wall clock under the daemon in the calls test.
PACKAGES+=(libfaketime)
# Resampling between the sound card or WAV file and the codec.
PACKAGES+=(libspeexdsp-dev)
# Concealment of lost audio.
PACKAGES+=(libspandsp-dev)
# Echo cancellation.
PACKAGES+=(libwebrtc-audio-processing-dev)
# Opus ("module opus.so").
PACKAGES+=(libopus-dev)

ensure_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# build DIR [cmake args...]
build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

# The armhf build (scripts/cross): the cross compiler, qemu-user, and the
# :armhf builds of every library the product and its tests link.
CROSS_PACKAGES=(crossbuild-essential-armhf qemu-user)
CROSS_ARMHF_PACKAGES=(libre-dev librem-dev libasound2-dev libavformat-dev libavcodec-dev
                      libavutil-dev libjansson-dev libdbus-1-dev libsqlite3-dev libspeexdsp-dev
                      libspandsp-dev libssl-dev libsystemd-dev libgtest-dev libgmock-dev
                      libopus-dev libwebrtc-audio-processing-dev)

ensure_cross_packages() {
  local sudo="" missing=() p
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  local wanted=("${CROSS_PACKAGES[@]}")
  for p in "${CROSS_ARMHF_PACKAGES[@]}"; do wanted+=("$p:armhf"); done
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx armhf || $sudo dpkg --add-architecture armhf
  $sudo apt-get update -qq
  # The armhf libraries' maintainer scripts cannot run their own armhf helpers
  # without binfmt; dpkg reports that and carries on.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
}
