# Debian packages the project builds, tests and demonstrates with. Sourced by
# the scripts; installs only what is missing. fonts-wqy-microhei gives the
# page's Chinese texts their glyphs (the page's own fonts have none);
# desktop-file-utils checks the installed desktop entry; pigz is the
# install benchmark's inflate stage.
VANTREL_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libssl-dev openssl libcurl4-openssl-dev
  nginx-light aria2 pigz procps bc
  libwebkit2gtk-4.1-dev xvfb xauth xdotool fonts-wqy-microhei
  desktop-file-utils
)

vantrel_missing_packages() {
  local p missing=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  echo "${missing[@]}"
}

vantrel_ensure_packages() {
  local missing
  missing=$(vantrel_missing_packages "${VANTREL_PACKAGES[@]}" "$@")
  [ -z "$missing" ] && return 0
  echo "Installing missing packages: $missing"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
}
