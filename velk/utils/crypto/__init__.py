"""Text coding used by the records: see ``velk.utils.crypto.coders``."""
