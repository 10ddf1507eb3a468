# The demo's launcher data as the service would serve it. Sourced by
# scripts/demo.
#
# vantrel_write_launcher_data SRC ROOT TIME: for each SRC/LANG.txt writes
# ROOT/LANG/index.html (the answer to launcherdataurl + LANG + "/"), with
# "@SERVERTIME@" replaced by TIME and each "@NAME.png@" by the picture
# SRC/NAME.png as a data: URL.
vantrel_write_launcher_data() {
  local src=$1 root=$2 time=$3 file lang text picture uri
  for file in "$src"/*.txt; do
    lang=$(basename "$file" .txt)
    text=$(<"$file")
    text=${text//@SERVERTIME@/"$time"}
    for picture in "$src"/*.png; do
      uri="data:image/png;base64,$(base64 -w0 "$picture")"
      text=${text//@$(basename "$picture")@/"$uri"}
    done
    mkdir -p "$root/$lang"
    printf '%s\n' "$text" >"$root/$lang/index.html"
  done
}
