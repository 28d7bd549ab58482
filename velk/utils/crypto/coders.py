"""The coder of the texts that records carry in encoded form.

Records store free text (an object's text property, for instance) as
URL-safe base64 of its UTF-8 bytes, so that it never holds a record
delimiter. ``Coder.byte_xor`` is installed by the native module
``velk._velkc`` when it is imported.
"""
import base64

__all__ = ["Coder"]


class Coder:
    """Conversions between plain text and the coded forms used in records."""

    @staticmethod
    def do_base64(text: str, encode: bool = True) -> str:
        """Encode `text` to URL-safe base64, or decode it with ``encode=False``.

        Encoding returns the base64 text (with its "=" padding) of the UTF-8
        bytes of `text`. Decoding accepts the text with or without padding and
        returns the decoded UTF-8 text; text that is not URL-safe base64, or
        whose bytes are not UTF-8, raises ValueError (``binascii.Error`` and
        ``UnicodeError`` are both subclasses of it).
        """
        if encode:
            return base64.urlsafe_b64encode(text.encode("utf-8")).decode("ascii")
        data = text.encode("ascii")
        # Writers often drop the padding; put it back before validating.
        data += b"=" * (-len(data) % 4)
        return base64.b64decode(data, altchars=b"-_", validate=True).decode("utf-8")
