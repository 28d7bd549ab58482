"""Value classes of the game's records: HSV values, guidelines and the
enumerations of object and colour properties."""
