#!/bin/sh
# Rebuilds the committed seed corpora: plain seeds from make_corpus.py, then
# encoded seeds of all three kinds made with bkrtool from the plain ones.
#   fuzz/make_corpus.sh build/native/bkrtool
set -eu
tool=$(realpath "$1")
cd "$(dirname "$0")"
python3 make_corpus.py corpus
for kind in 0 1 5; do
  "$tool" encode --kind $kind corpus/plain/sample_archive.bin corpus/container/archive_kind$kind.ecd >/dev/null
  "$tool" encode --kind $kind corpus/plain/text.txt corpus/container/text_kind$kind.ecd >/dev/null
done
cp corpus/container/archive_kind1.ecd corpus/container/archive_kind5.ecd corpus/archive/
# Single blocks for the block decoder: the data area of the text's kind-1 file.
tail -c +29 corpus/container/text_kind1.ecd > corpus/block/text.blk
rm -rf corpus/plain
