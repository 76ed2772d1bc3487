# SPDX-License-Identifier: MIT
meta:
  id: kvf
  title: KVF firmware-download container
  file-extension: kvf
  license: MIT
  endian: le
doc: |
  A KVF firmware-download container: a flat sequence of 56-byte frames, each
  one step of a download (erase, display a text, write flash data, update a
  progress bar, or nothing at all), closed by an ADMINEND frame and a 28-byte
  trailer of seven 32-bit words. There is no header and no magic number:
  the first byte of the file is the type byte of the first frame. Every
  number is an unsigned 32-bit little-endian value.

  The field names are those of kvf_unpack, whose log shows every frame at its
  file offset. The format in prose, with what the tool checks and what it
  does not: doc/format.md.
doc-ref: doc/format.md
seq:
  - id: frames
    type: frame
    size: 56
    repeat: until
    repeat-until: _.type == frame_type::adminend
    doc: |
      The frames, up to and including the ADMINEND frame. A file that ends
      without one, or inside a frame, is cut short: kvf_unpack logs what it
      has and a notice (with --strict, a failure); here it is an end of
      stream error.
  - id: trailer
    type: trailer
    doc: The 28 bytes after the ADMINEND frame.
  - id: after_trailer
    size-eos: true
    valid:
      expr: _.size == 0
    doc: |
      Nothing may follow the trailer: the file ends there. kvf_unpack fails
      on a byte after it, as on a second ADMINEND frame; so does this check.
types:
  frame:
    doc: |
      One 56-byte frame. Frame k starts at file offset 56 * k. Frames of a
      type outside frame_type are passed over.
    seq:
      - id: type
        type: u1
        enum: frame_type
        doc: The frame type. Frames of any other code are passed over.
      - id: param1
        type: u4
        doc: |
          First parameter: the data length of a flash-data frame (at most
          47), the progress value in percent (signed) of a progress frame;
          0xFFFFFFFF in a dummy frame; logged only in erase and display-text
          frames.
      - id: param2
        type: u4
        doc: |
          Second parameter: the flash address of the first data byte of a
          flash-data frame; 0xFFFFFFFF in a dummy frame; logged only in
          erase and display-text frames.
      - id: payload
        size: 47
        type:
          switch-on: type
          cases:
            'frame_type::display_text': display_text
            'frame_type::flash_data': flash_data
            'frame_type::dummy': dummy
        doc: The frame's data, as its type reads it.
    instances:
      length:
        value: param1
        if: type == frame_type::flash_data
        doc: A flash-data frame's data length, at most 47 (param1).
      address:
        value: param2
        if: type == frame_type::flash_data
        doc: A flash-data frame's flash address of its first data byte (param2).
      percent:
        pos: 1
        type: s4
        if: type == frame_type::progress
        doc: A progress frame's value in percent, signed (param1 read as s4; 0xFFFFFFFF is -1).
  display_text:
    doc: |
      The text of a display-text frame: up to its first NUL byte, or all 47
      bytes when there is none. It names the image of the next run of flash
      data.
    seq:
      - id: text_bytes
        size-eos: true
        terminator: 0
        doc: |
          The text's bytes, 0 to 46 before the NUL, or 47 when there is none;
          kvf_unpack checks none of them.
    instances:
      text:
        value: text_bytes.to_s("UTF-8")
        doc: |
          The text as a string, where its bytes are UTF-8 (elsewhere,
          depending on the target language, an error or replacement
          characters: use text_bytes).
  flash_data:
    doc: |
      The data of a flash-data frame: its first param1 bytes. Frames whose
      addresses follow on from each other (param2 + param1 of one, modulo
      2^32, is param2 of the next) form a run, which kvf_unpack writes into
      one image file; frames of other types between them do not break it.
      A length above 47 is not valid (kvf_unpack stops there); here it is
      cut to the payload.
    seq:
      - id: data
        size: '_parent.param1 <= 47 ? _parent.param1 : 47'
  dummy:
    doc: A dummy frame's payload, which must be all 0xFF, as must both parameters.
    seq:
      - id: fill
        size: 47
    instances:
      is_all_fill:
        value: |
          _parent.param1 == 0xffffffff and _parent.param2 == 0xffffffff and
          fill == [0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                   0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                   0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                   0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff]
        doc: Whether every byte after the type byte is 0xFF, as kvf_unpack requires.
  trailer:
    doc: |
      Seven words after the ADMINEND frame; the file ends after them.
      kvf_unpack prints them and checks neither the length nor the checksum.
    seq:
      - id: words
        type: u4
        repeat: expr
        repeat-expr: 7
        doc: Words 1 to 7; words 1 to 5 carry no meaning the tool knows.
    instances:
      file_length:
        value: words[5]
        doc: Word 6, the container's file length.
      checksum:
        value: words[6]
        doc: Word 7, the container's CRC-32 checksum.
enums:
  frame_type:
    0x12: erase_flash
    0x16: display_text
    0x22: dummy
    0x24: flash_data
    0x41:
      id: adminend
      doc: ASCII "A", the first letter of the ADMINEND keyword; the last frame.
    0x42: progress
