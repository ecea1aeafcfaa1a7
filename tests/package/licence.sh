# Sourced by check.sh (its check and variables; wheel.sh's wheel and sdist): every package says the
# one licence, MIT (LICENSE; "Expat" in Debian's copyright format), with its text, and carries the
# one version, CMakeLists.txt's project().

# licence_words <file>: the licence's text as words, without its title and copyright line; a
# Debian copyright file's text is its "License: Expat" paragraph.
licence_words() {
  if [[ $(head -1 "$1") == "Format: "* ]]; then
    sed -n '/^License: Expat$/,/^$/{/^License: /d;s/^ \.$//;s/^ //;p}' "$1"
  else
    sed -e '1{/^MIT License$/d}' -e '/^Copyright /d' "$1"
  fi | tr -s ' \n\t' '\n\n\n' | sed '/^$/d'
}

# What each package says, by kind: .text (the licence's text), .metadata (Python's), .debian (a
# copyright file).
said=$scratch/licences
mkdir -p "$said" "$scratch/tarball"
unzip -p "$wheel" "corvane-$version.dist-info/METADATA" >"$said/wheel.metadata"
unzip -p "$wheel" "corvane-$version.dist-info/LICENSE" >"$said/wheel.text"
tar xzOf "$sdist" "corvane-$version/PKG-INFO" >"$said/sdist.metadata"
tar xzOf "$sdist" "corvane-$version/LICENSE" >"$said/sdist.text"
unzip -p "$zip" "corvane-$version-windows/LICENSE.txt" | tr -d '\r' >"$said/zip.text"
cp "$scratch/deb/usr/lib/python3/dist-packages/corvane-$version.dist-info/METADATA" "$said/python3-corvane.metadata"
for package in "${packages[@]}"; do
  cp "$scratch/deb/usr/share/doc/$package/copyright" "$said/$package.debian"
done
tar xzf dist/corvane-"$version"-linux-*.tar.gz -C "$scratch/tarball"
for file in "$scratch"/tarball/*/share/doc/*/copyright; do
  folder=${file%/copyright}
  cp "$file" "$said/tarball-${folder##*/}.debian"
done

one_licence() {
  local file bad=0
  [[ $(head -1 LICENSE) == "MIT License" ]] && grep -q '^Permission is hereby granted, free of charge' LICENSE ||
    { echo "LICENSE is not the MIT licence"; bad=1; }
  grep -qx 'license = {text = "MIT"}' python/pyproject.toml && grep -qF 'License :: OSI Approved :: MIT License' python/pyproject.toml ||
    { echo "python/pyproject.toml does not say MIT"; bad=1; }
  [[ $(ls "$said"/tarball-*.debian 2>/dev/null | wc -l) == 3 ]] || { echo "the tarball lacks copyright files"; bad=1; }
  for file in "$said"/*; do
    case $file in
      *.text) diff <(licence_words LICENSE) <(licence_words "$file") >/dev/null ;;
      *.metadata) grep -qx 'License: MIT' "$file" ;;
      *.debian) grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$file" &&
        [[ $(grep '^License:' "$file" | sort -u) == "License: Expat" ]] &&
        diff <(licence_words LICENSE) <(licence_words "$file") >/dev/null ;;
    esac || { echo "${file##*/}: not MIT with LICENSE's text:"; head -20 "$file"; bad=1; }
  done
  return $bad
}
check "one licence: MIT in LICENSE, pyproject.toml, the wheel's and the source distribution's metadata and LICENSE, python3-corvane's metadata, every package's and the tarball's copyright file, the zip's LICENSE.txt" \
  one_licence

one_version() {
  local package bad=0 lib_dir=$scratch/deb/usr/lib/$arch
  for package in "${packages[@]}"; do
    [[ $(dpkg-deb -f "${deb[$package]}" Version) == "$version" ]] || { echo "$package's version"; bad=1; }
    [[ $(zcat "$scratch/deb/usr/share/doc/$package/changelog.gz" | head -1) == "corvane ($version) "* ]] ||
      { echo "$package's changelog"; bad=1; }
  done
  grep -qx "Version: $version" "$said/wheel.metadata" || { echo "the wheel"; bad=1; }
  grep -qx "Version: $version" "$said/sdist.metadata" || { echo "the source distribution"; bad=1; }
  grep -qx "__version__ = \"$version\"" "$scratch/deb/usr/lib/python3/dist-packages/corvane/_version.py" ||
    { echo "python3-corvane's corvane.__version__"; bad=1; }
  grep -qx "Version: $version" "$lib_dir/pkgconfig/corvane.pc" || { echo "corvane.pc"; bad=1; }
  grep -q "set(PACKAGE_VERSION \"$version\")" "$lib_dir/cmake/Corvane/CorvaneConfigVersion.cmake" ||
    { echo "the CMake package"; bad=1; }
  grep -qx "    <Version>$version</Version>" bindings/dotnet/Corvane.Net/Corvane.Net.csproj ||
    { echo "bindings/dotnet/Corvane.Net/Corvane.Net.csproj"; bad=1; }
  return $bad
}
check "one version ($version): every .deb and its changelog, the wheel, the source distribution, python3-corvane's corvane.__version__, corvane.pc, the CMake package, the .NET project file" \
  one_version
