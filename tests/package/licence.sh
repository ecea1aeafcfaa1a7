# Sourced by check.sh (its check, same and contains, its variables): every package says the one
# licence (LICENSE, MIT; "Expat" in Debian's copyright format) with its text, and carries the one
# version (CMakeLists.txt's project()).

# licence_words <file>: the licence's text as words, without its title and copyright line; a
# Debian copyright file's text is its "License: Expat" paragraph.
licence_words() {
  if [[ $(head -1 "$1") == "Format: "* ]]; then
    sed -n '/^License: Expat$/,/^$/{/^License: /d;s/^ \.$//;s/^ //;p}' "$1"
  else
    sed -e '1{/^MIT License$/d}' -e '/^Copyright /d' "$1"
  fi | tr -s ' \n\t' '\n\n\n' | sed '/^$/d'
}
# same_licence <file>: the file carries LICENSE's text
same_licence() {
  diff <(licence_words LICENSE) <(licence_words "$1") >/dev/null ||
    { echo "$1 differs from LICENSE:"; diff <(licence_words LICENSE) <(licence_words "$1") | head -5; return 1; }
}

check "LICENSE is the MIT licence" bash -c "[[ \$(head -1 LICENSE) == 'MIT License' ]] && grep -q '^Permission is hereby granted, free of charge' LICENSE"
check "pyproject.toml says MIT" \
  bash -c "grep -qx 'license = {text = \"MIT\"}' python/pyproject.toml && grep -qF 'License :: OSI Approved :: MIT License' python/pyproject.toml"
unzip -p "$wheel" "corvane-$version.dist-info/METADATA" >"$scratch/wheel-METADATA" 2>&1
unzip -p "$wheel" "corvane-$version.dist-info/LICENSE" >"$scratch/wheel-LICENSE" 2>&1
check "the wheel's metadata says MIT and it carries LICENSE as it is" \
  bash -c "grep -qx 'License: MIT' '$scratch/wheel-METADATA' && grep -qx 'Classifier: License :: OSI Approved :: MIT License' '$scratch/wheel-METADATA' &&
    cmp LICENSE '$scratch/wheel-LICENSE'"
tar xzOf "$sdist" "corvane-$version/PKG-INFO" >"$scratch/sdist-PKG-INFO" 2>&1
tar xzOf "$sdist" "corvane-$version/LICENSE" >"$scratch/sdist-LICENSE" 2>&1
check "the source distribution's metadata says MIT and it carries LICENSE as it is" \
  bash -c "grep -qx 'License: MIT' '$scratch/sdist-PKG-INFO' && cmp LICENSE '$scratch/sdist-LICENSE'"
check "python3-corvane's metadata says MIT" \
  grep -qx 'License: MIT' "$scratch/deb/usr/lib/python3/dist-packages/corvane-$version.dist-info/METADATA"
debian_copyright() { # debian_copyright <file>: Debian's format, one licence, Expat, with LICENSE's text
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$1" &&
    [[ $(grep '^License:' "$1" | sort -u) == "License: Expat" ]] || { cat "$1"; return 1; }
  same_licence "$1"
}
for package in "${packages[@]}"; do
  check "$package's copyright file: Debian's format, License: Expat with LICENSE's text" \
    debian_copyright "$scratch/deb/usr/share/doc/$package/copyright"
done
tarball_copyrights() {
  local file count=0
  mkdir -p "$scratch/tarball" && tar xzf dist/corvane-${version}-linux-*.tar.gz -C "$scratch/tarball" || return 1
  for file in "$scratch"/tarball/*/share/doc/*/copyright; do
    debian_copyright "$file" || return 1
    count=$((count + 1))
  done
  [[ $count -ge 3 ]] || { echo "$count copyright files"; return 1; }
}
check "the tarball's copyright files: License: Expat with LICENSE's text" tarball_copyrights
check "the zip carries LICENSE as LICENSE.txt" \
  bash -c "unzip -p '$zip' 'corvane-$version-windows/LICENSE.txt' | tr -d '\r' | cmp - LICENSE"

check "every .deb's version is the project's ($version)" \
  bash -c "for d in ${deb[*]}; do [[ \$(dpkg-deb -f \$d Version) == '$version' ]] || { echo \"\$d\"; exit 1; }; done"
check "every package's changelog names the project's version first" \
  bash -c "for p in ${packages[*]}; do [[ \$(zcat '$scratch'/deb/usr/share/doc/\$p/changelog.gz | head -1) == 'corvane ($version) '* ]] ||
    { echo \"\$p\"; exit 1; }; done"
check "the wheel's and the source distribution's version is the project's" \
  bash -c "grep -qx 'Version: $version' '$scratch/wheel-METADATA' && grep -qx 'Version: $version' '$scratch/sdist-PKG-INFO'"
check "python3-corvane's corvane.__version__ is the project's" \
  contains "__version__ = \"$version\"" cat "$scratch/deb/usr/lib/python3/dist-packages/corvane/_version.py"
check "corvane.pc and the CMake package's version file say the project's version" \
  bash -c "grep -qx 'Version: $version' '$scratch/deb/usr/lib/$arch/pkgconfig/corvane.pc' &&
    grep -q 'set(PACKAGE_VERSION \"$version\")' '$scratch/deb/usr/lib/$arch/cmake/Corvane/CorvaneConfigVersion.cmake'"
check "the .NET assembly's project file says the project's version" \
  grep -qx "    <Version>$version</Version>" bindings/dotnet/Corvane.Net/Corvane.Net.csproj
