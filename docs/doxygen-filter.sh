#!/bin/sh
# SPDX-License-Identifier: MIT
# Lets Doxygen read the headers' plain comments as documentation: "//"
# lines become "///", a comment opening a line becomes "/**", and one
# after a declaration on its line documents that declaration ("/**<").
exec sed -E \
    -e 's#^([[:space:]]*)// #\1/// #' \
    -e 's#^([[:space:]]*)//$#\1///#' \
    -e 's#^([[:space:]]*)/\* #\1/** #' \
    -e 's#([;,)}])([[:space:]]*)/\* #\1\2/**< #' \
    "$1"
